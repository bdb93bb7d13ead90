// Setting a device's network parameters from the main window, against the
// simulated devices in the private network.
#include <gtest/gtest.h>

#include <chrono>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/ProtocolCommands.h"
#include "explorer/operations/Quillbox.h"
#include "scan_test_support.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"
#include "support/WindowHandlers.h"

using scantest::Ip;
using scantest::Record;

namespace {

std::vector<std::string> IpColumn(CExplorerDlg& dlg) {
  std::vector<std::string> out;
  for (int i = 0; i < dlg.DeviceList().topLevelItemCount(); ++i)
    out.push_back(dlg.DeviceList().topLevelItem(i)->text(1).toStdString());
  return out;
}

class SetNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::App();
    dlg = std::make_unique<CExplorerDlg>(ui);
    dlg->show();
    // The rows a scan would have made.
    std::vector<std::unique_ptr<DeviceRecord>> records;
    records.push_back(Record(0x41, 1, "127.0.0.41", "255.0.0.0"));
    records.push_back(Record(0x42, 0, "127.0.0.42", "255.0.0.0"));
    records.push_back(Record(0x43, 1, "0.0.0.0", "0.0.0.0"));
    dlg->ListDevices(std::move(records));
  }
  CQuillbox* Device(uint8_t lastMacByte) {
    for (int i = 0; i < dlg->DeviceList().topLevelItemCount(); ++i) {
      CQuillbox* q = dlg->DeviceAt(i);
      if (q->record->mac()[5] == lastMacByte) return q;
    }
    return nullptr;
  }
  void Select(CQuillbox* q) {
    dlg->SelectDevice(q);
    dlg->UpdateActionButtons();
  }
  // The user enters these values and presses OK.
  void Answer(const char* ip, const char* mask, const char* password) {
    ui.network = [=](NetworkDialogData& d) {
      d.ip = Ip(ip);
      d.mask = Ip(mask);
      d.password = password;
      return true;
    };
  }

  scantest::ScriptedUi ui;
  std::unique_ptr<CExplorerDlg> dlg;
};

TEST_F(SetNetworkTest, SuccessMovesTheRowAndKeepsSelectionAndPassword) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  auto sim = testsupport::SimProcess::WithDevices(
      "00:50:C2:00:00:41 1 127.0.0.41 255.0.0.0 admin\n"
      "00:50:C2:00:00:42 0 127.0.0.42 255.0.0.0 admin\n"
      "00:50:C2:00:00:43 1 0.0.0.0    0.0.0.0   admin\n",
      {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CQuillbox* a = Device(0x41);
  a->password = "cached";
  Select(a);

  Answer("127.0.0.50", "255.255.0.0", "admin");
  testsupport::Finish(OnSetIpAddress(*dlg));

  EXPECT_EQ(ui.networkDialogs.size(), 1u);
  // The dialog starts with the device's own values and no password.
  EXPECT_EQ(ui.networkDialogs.back().ip, Ip("127.0.0.41"));
  EXPECT_EQ(ui.networkDialogs.back().mask, Ip("255.0.0.0"));
  EXPECT_EQ(ui.networkDialogs.back().password, "");
  ASSERT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  EXPECT_EQ(IpColumn(*dlg), (std::vector<std::string>{"0.0.0.0", "127.0.0.42", "127.0.0.50"}));
  EXPECT_EQ(dlg->SelectedDevice(), a);
  EXPECT_EQ(a->password, "cached");  // the dialog's password is not kept
  EXPECT_EQ(a->record->mask(), Ip("255.255.0.0"));
  EXPECT_FALSE(dlg->IsBusy());

  // Onto the other device's address: both rows get the mark.
  Answer("127.0.0.42", "255.0.0.0", "admin");
  testsupport::Finish(OnSetIpAddress(*dlg));
  ASSERT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  EXPECT_EQ(IpColumn(*dlg), (std::vector<std::string>{"0.0.0.0", "127.0.0.42 (duplicate IP)",
                                                      "127.0.0.42 (duplicate IP)"}));
  EXPECT_EQ(dlg->SelectedDevice(), a);

  // A device without an address offers only Set IP address; once it has
  // one, every action is offered.
  CQuillbox* c = Device(0x43);
  Select(c);
  EXPECT_FALSE(dlg->Control(IDC_TEST_CONNECTION)->isEnabled());
  Answer("127.0.0.60", "255.0.0.0", "admin");
  testsupport::Finish(OnSetIpAddress(*dlg));
  ASSERT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  EXPECT_EQ(dlg->SelectedDevice(), c);
  EXPECT_TRUE(dlg->Control(IDC_TEST_CONNECTION)->isEnabled());
}

TEST_F(SetNetworkTest, RefusalAndTimeoutLeaveTheDeviceAsItWas) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  auto sim = testsupport::SimProcess::WithDevices(
      "00:50:C2:00:00:41 1 127.0.0.41 255.0.0.0 admin\n"
      "00:50:C2:00:00:42 0 127.0.0.42 255.0.0.0 admin\n",
      {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CQuillbox* a = Device(0x41);
  Select(a);
  const std::vector<std::string> before = IpColumn(*dlg);

  // Cancelled dialog: nothing sent, nothing shown.
  testsupport::Finish(OnSetIpAddress(*dlg));
  EXPECT_EQ(ui.networkDialogs.size(), 1u);
  EXPECT_TRUE(ui.boxes.empty());

  // The other device's 4998 does not hide the addressed device's refusal.
  Answer("127.0.0.50", "255.0.0.0", "wrong");
  testsupport::Finish(OnSetIpAddress(*dlg));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "Invalid password");
  EXPECT_EQ(ui.boxes[0].caption, "Unable to update network parameters:");
  EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Exclamation);
  EXPECT_EQ(a->record->ip(), Ip("127.0.0.41"));
  EXPECT_EQ(IpColumn(*dlg), before);
  EXPECT_EQ(dlg->SelectedDevice(), a);

  // Nobody answers any more. The dialog opens again with what was typed,
  // but no password.
  sim.Stop();
  Answer("127.0.0.50", "255.0.0.0", "admin");
  testsupport::Finish(OnSetIpAddress(*dlg));
  ASSERT_EQ(ui.networkDialogs.size(), 3u);
  EXPECT_EQ(ui.networkDialogs[2].ip, Ip("127.0.0.50"));
  EXPECT_EQ(ui.networkDialogs[2].mask, Ip("255.0.0.0"));
  EXPECT_EQ(ui.networkDialogs[2].password, "");
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(ui.boxes[1].text, "Receive timeout");
  EXPECT_EQ(a->record->ip(), Ip("127.0.0.41"));
  EXPECT_EQ(IpColumn(*dlg), before);
  EXPECT_FALSE(dlg->IsBusy());
}

// Whatever hands back the dialog's values, a mask no device takes is not
// sent: the box names the mask field, and the device keeps its values.
TEST_F(SetNetworkTest, MaskNoDeviceTakesIsRefusedWithoutSending) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  auto sim = testsupport::SimProcess::WithDevices("00:50:C2:00:00:43 1 0.0.0.0 0.0.0.0 admin\n",
                                                  {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CQuillbox* c = Device(0x43);
  Select(c);
  for (const char* mask : {"0.0.0.0", "255.0.255.0"}) {
    SCOPED_TRACE(mask);
    ui.boxes.clear();
    Answer("127.0.0.60", mask, "admin");
    const auto start = std::chrono::steady_clock::now();
    testsupport::Finish(OnSetIpAddress(*dlg));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, std::string("Network Mask: ") + mask +
                                    " is not a valid network mask: a mask is ones from the left, "
                                    "then zeros, as in 255.255.255.0");
    EXPECT_EQ(ui.boxes[0].caption, "Error");
    EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Exclamation);
    // No exchange: a request waits 4 s for the answers, and the busy
    // display never started.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(dlg->IsBusy());
    EXPECT_EQ(c->record->ip(), 0u);
  }
  EXPECT_EQ(IpColumn(*dlg), (std::vector<std::string>{"0.0.0.0", "127.0.0.41", "127.0.0.42"}));
}

// A device without an address has no mask either: the dialog starts with
// one a device takes. Several rows give no dialog at all.
TEST_F(SetNetworkTest, StartingMaskAndOneDeviceOnly) {
  Select(Device(0x43));
  testsupport::Finish(OnSetIpAddress(*dlg));  // cancelled
  ASSERT_EQ(ui.networkDialogs.size(), 1u);
  EXPECT_EQ(ui.networkDialogs[0].ip, 0u);
  // Not scanned here, so the adapter is not known.
  EXPECT_EQ(ui.networkDialogs[0].mask, Ip("255.255.255.0"));

  dlg->DeviceList().selectAll();
  dlg->UpdateActionButtons();
  EXPECT_FALSE(dlg->Control(IDC_SET_IP_ADDRESS)->isEnabled());
  testsupport::Finish(OnSetIpAddress(*dlg));
  EXPECT_EQ(ui.networkDialogs.size(), 1u);
}

TEST_F(SetNetworkTest, NothingSelectedDoesNothing) {
  testsupport::Finish(OnSetIpAddress(*dlg));
  testsupport::Finish(OnTestConnection(*dlg));
  EXPECT_EQ(ui.networkDialogs.size(), 0u);
  EXPECT_TRUE(ui.boxes.empty());
}

}  // namespace
