// The connection test from the main window against TCP listeners of the
// test in the private network.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QAbstractButton>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/ProtocolCommands.h"
#include "explorer/operations/Quillbox.h"
#include "scan_test_support.h"
#include "support/NetGuard.h"
#include "support/WindowHandlers.h"

using scantest::Record;

namespace {

class ConnectionTestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::App();
    dlg = std::make_unique<CExplorerDlg>(ui);
    dlg->show();
  }
  // Runs the test on the device with this Ethernet address; true when the
  // box said the connection is OK.
  bool Test(uint8_t lastMacByte) {
    for (int i = 0; i < dlg->DeviceList().topLevelItemCount(); ++i) {
      CQuillbox* q = dlg->DeviceAt(i);
      if (q->record->mac()[5] == lastMacByte) dlg->SelectDevice(q);
    }
    const size_t before = ui.boxes.size();
    testsupport::Finish(OnTestConnection(*dlg));
    EXPECT_EQ(ui.boxes.size(), before + 1);
    if (ui.boxes.size() != before + 1) return false;
    const scantest::Box& box = ui.boxes.back();
    EXPECT_EQ(box.caption, "Connection Test");
    if (box.text == "Network connection is OK") {
      EXPECT_EQ(box.icon, BoxIcon::None);
      return true;
    }
    EXPECT_EQ(box.text, "Network connection test failed");
    EXPECT_EQ(box.icon, BoxIcon::Exclamation);
    return false;
  }

  scantest::ScriptedUi ui;
  std::unique_ptr<CExplorerDlg> dlg;
};

TEST_F(ConnectionTestTest, PortByKindAndDuplicatesFailAtOnce) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  scantest::TcpListener web1("127.0.0.51", 80), telnet2("127.0.0.52", 23), telnet3("127.0.0.53", 23),
      web4("127.0.0.54", 80), web5("127.0.0.55", 80);
  for (auto* l : {&web1, &telnet2, &telnet3, &web4, &web5}) ASSERT_TRUE(l->ok());
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  recs.push_back(Record(0x51, 1, "127.0.0.51"));   // web device, port 80 open
  recs.push_back(Record(0x52, 48, "127.0.0.52"));  // telnet device, port 23 open
  recs.push_back(Record(0x53, 0, "127.0.0.53"));   // only 23 open: a web device fails
  recs.push_back(Record(0x54, 49, "127.0.0.54"));  // only 80 open: a telnet device fails
  recs.push_back(Record(0x55, 1, "127.0.0.55"));   // two devices on one address
  recs.push_back(Record(0x56, 1, "127.0.0.55"));
  recs.push_back(Record(0x57, 1, "0.0.0.0"));
  dlg->ListDevices(std::move(recs));

  EXPECT_TRUE(Test(0x51));
  EXPECT_TRUE(Test(0x52));
  EXPECT_FALSE(Test(0x53));
  EXPECT_FALSE(Test(0x54));
  EXPECT_FALSE(Test(0x55));
  EXPECT_FALSE(Test(0x56));
  EXPECT_FALSE(Test(0x57));
  QTest::qWait(200);  // let the listeners' threads count what reached them
  EXPECT_EQ(web1.accepted(), 1);
  EXPECT_EQ(telnet2.accepted(), 1);
  EXPECT_EQ(telnet3.accepted(), 0);
  EXPECT_EQ(web4.accepted(), 0);
  EXPECT_EQ(web5.accepted(), 0);  // duplicates are never probed
  EXPECT_FALSE(dlg->IsBusy());
}

TEST_F(ConnectionTestTest, BusyTextNamesTheEthernetAddressAndCancelEndsTheProbe) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  // 10.200.0.0/24 swallows every packet: the connect hangs.
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  recs.push_back(Record(0x0F, 1, "10.200.0.2"));
  dlg->ListDevices(std::move(recs));
  std::string status, exitText;
  QTimer::singleShot(300, dlg.get(), [&] {
    status = qobject_cast<QLabel*>(dlg->Control(IDC_STATUS_TEXT))->text().toStdString();
    exitText = qobject_cast<QAbstractButton*>(dlg->Control(IDC_EXIT))->text().toStdString();
    dlg->CancelOrExit();
  });
  QElapsedTimer clock;
  clock.start();
  EXPECT_FALSE(Test(0x0F));
  EXPECT_LT(clock.elapsed(), 1500);  // ended by the click, not the 2000 ms deadline
  EXPECT_EQ(status, "Testing connection to 00:50:C2:00:00:0F");
  EXPECT_EQ(exitText, "Cancel");
  EXPECT_FALSE(dlg->IsBusy());
  EXPECT_TRUE(dlg->isVisible());

  // Without a click the probe gives up at its deadline.
  clock.restart();
  EXPECT_FALSE(Test(0x0F));
  EXPECT_GE(clock.elapsed(), 1900);
}

}  // namespace
