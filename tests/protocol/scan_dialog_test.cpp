// Scans from the main window against simulated devices in the private
// network.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/ProtocolCommands.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/res/Strings.h"
#include "scan_test_support.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"
#include "support/WindowHandlers.h"

using scantest::MacText;
using scantest::Record;

namespace {

std::vector<std::string> Column(CExplorerDlg& dlg, int column) {
  std::vector<std::string> out;
  for (int i = 0; i < dlg.DeviceList().topLevelItemCount(); ++i)
    out.push_back(dlg.DeviceList().topLevelItem(i)->text(column).toStdString());
  return out;
}

std::string Text(CExplorerDlg& dlg, int id) {
  if (auto* b = qobject_cast<QPushButton*>(dlg.Control(id))) return b->text().toStdString();
  if (auto* l = qobject_cast<QLabel*>(dlg.Control(id))) return l->text().toStdString();
  return "?";
}

void ExpectIdle(CExplorerDlg& dlg) {
  EXPECT_FALSE(dlg.IsBusy());
  EXPECT_EQ(Text(dlg, IDC_EXIT), "Exit");
  EXPECT_EQ(Text(dlg, IDC_STATUS_TEXT), "");
  EXPECT_EQ(Text(dlg, IDC_COUNTDOWN_TEXT), "");
  EXPECT_TRUE(dlg.Control(IDC_SCAN)->isEnabled());
  EXPECT_EQ(dlg.SelectedDevice(), nullptr);
  for (int id : {IDC_WEB_CONFIGURATION, IDC_GET_CONFIGURATION, IDC_SET_CONFIGURATION,
                 IDC_UPGRADE_FIRMWARE, IDC_SET_IP_ADDRESS, IDC_TEST_CONNECTION})
    EXPECT_FALSE(dlg.Control(id)->isEnabled()) << id;
}

class ScanDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { scantest::App(); }
  scantest::ScriptedUi ui;
};

TEST_F(ScanDialogTest, DevicesAreListedSortedWithDuplicateAndMissingAddressesMarked) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  auto sim = testsupport::SimProcess::WithDevices(
      "00:50:C2:00:00:01 0    192.168.0.20 255.255.255.0 admin\n"
      "00:50:C2:00:00:02 1    10.1.1.1     255.0.0.0     admin\n"
      "00:50:C2:00:00:03 0x10 192.168.0.3  255.255.255.0 admin\n"
      "00:50:C2:00:00:04 0    192.168.0.5  255.255.255.0 admin\n"
      "00:50:C2:00:00:05 0x30 192.168.0.5  255.255.255.0 admin\n"
      "00:50:C2:00:00:06 0    0.0.0.0      0.0.0.0       admin\n"
      "00:50:C2:00:00:07 0x31 0.0.0.0      0.0.0.0       admin\n"
      "00:50:C2:00:00:08 5    127.0.0.18   255.0.0.0     admin\n"
      "00:50:C2:00:00:09 4    127.0.0.19   255.0.0.0     admin twice\n",
      {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CExplorerDlg dlg(ui);
  dlg.show();

  testsupport::Finish(Scan(dlg));

  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  EXPECT_EQ(Column(dlg, 1),
            (std::vector<std::string>{"0.0.0.0 (duplicate IP)", "0.0.0.0 (duplicate IP)", "10.1.1.1",
                                      "127.0.0.19", "192.168.0.3", "192.168.0.5 (duplicate IP)",
                                      "192.168.0.5 (duplicate IP)", "192.168.0.20"}));
  // Equal addresses in the order of answering, which the simulator keeps
  // as its table order; kind 5 is never listed, a repeated answer once.
  EXPECT_EQ(Column(dlg, 0), (std::vector<std::string>{MacText(6), MacText(7), MacText(2), MacText(9),
                                                      MacText(3), MacText(4), MacText(5), MacText(1)}));
  ExpectIdle(dlg);
  // Duplicates fail the reachability check without any probe.
  CQuillbox* dup = dlg.DeviceAt(5);
  ASSERT_NE(dup, nullptr);
  EXPECT_FALSE(testsupport::Finish(IsReachable(dlg, *dup->record)));
}

TEST_F(ScanDialogTest, ADeviceAnsweringOnlyTheFirstPassIsNotListed) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  const auto device = Record(0x21, 1, "127.0.0.21");
  scantest::ScriptedResponder responder([&](int request) {
    std::vector<std::vector<uint8_t>> replies;
    if (request == 0) replies.push_back(scantest::ScriptedResponder::DiscoveryReply(*device));
    return replies;
  });
  ASSERT_TRUE(responder.ok());
  CExplorerDlg dlg(ui);
  dlg.show();

  testsupport::Finish(Scan(dlg));

  EXPECT_EQ(responder.requests(), 3);  // all three passes ran
  EXPECT_EQ(dlg.DeviceList().topLevelItemCount(), 0);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "No " + LoadBrandString(IDS_DEVICE_NAME) + "s found");
  EXPECT_EQ(ui.boxes[0].caption, "Error");
  EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Exclamation);
  ExpectIdle(dlg);
}

TEST_F(ScanDialogTest, CancelStopsTheScanAndListsNothing) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  auto sim = testsupport::SimProcess::WithDevices("00:50:C2:00:00:31 1 127.0.0.31 255.0.0.0 admin\n",
                                                  {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CExplorerDlg dlg(ui);
  dlg.show();
  bool sawCancel = false;
  QTimer::singleShot(1000, &dlg, [&] {
    sawCancel = Text(dlg, IDC_EXIT) == "Cancel" && !dlg.Control(IDC_SCAN)->isEnabled();
    dlg.CancelOrExit();
  });
  QElapsedTimer clock;
  clock.start();

  testsupport::Finish(Scan(dlg));

  EXPECT_TRUE(sawCancel);  // busy display while scanning
  // The first pass ended at the click, and no further pass started (a full
  // scan takes 13.2 s).
  EXPECT_LT(clock.elapsed(), 4000);
  EXPECT_EQ(dlg.DeviceList().topLevelItemCount(), 0);
  EXPECT_TRUE(ui.boxes.empty());  // the device had answered before the click
  ExpectIdle(dlg);
  EXPECT_TRUE(dlg.isVisible());  // Cancel does not close the window
}

}  // namespace
