// The window behind a router (scripts/netns-links.sh --routed): the
// session's other networks, typed once in "Other networks...", make every
// Scan find the remote devices and Set IP address reach them.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QTreeWidgetItem>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "explorer/app/TargetsDlg.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"
#include "support/WindowHandlers.h"
#include "tests/operations/GuiHarness.h"

namespace {

using namespace guitest;
using testsupport::SimProcess;

std::vector<std::string> Column(CExplorerDlg& dlg, int column) {
  std::vector<std::string> out;
  auto& list = dlg.DeviceList();
  for (int i = 0; i < list.topLevelItemCount(); ++i) out.push_back(list.topLevelItem(i)->text(column).toStdString());
  return out;
}

TEST(TargetsDialog, EveryLineIsCheckedAsItIsTyped) {
  App();
  CTargetsDlg dialog("");
  EXPECT_EQ(dialog.Status(), "Only the networks of this computer's own adapters are scanned.");
  EXPECT_TRUE(dialog.CanAccept());
  dialog.SetText("10.30.0.0/24\n10.30.0.0/31\nhall-2\n");
  EXPECT_EQ(dialog.Status(), "line 2: /31 is out of range: use /1 to /30 (and 1 more)");
  EXPECT_FALSE(dialog.CanAccept()) << "a bad line would be dropped unseen";
  dialog.SetText("10.30.0.0/24   # hall 1\n\n10.40.0.9\n");
  EXPECT_EQ(dialog.Status(), "Scans also ask 2 other networks.");
  EXPECT_TRUE(dialog.CanAccept());
  EXPECT_EQ(dialog.Text(), "10.30.0.0/24   # hall 1\n\n10.40.0.9\n");
}

TEST(RoutedWindow, OtherNetworksHoldForEveryScanAndSetIpOfTheSession) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  if (!std::getenv("QUILL_NETNS_REMOTE_SEGMENTS"))
    GTEST_SKIP() << "needs the routed bed (scripts/netns-links.sh --routed)";
  SimProcess near = SimProcess::OnRemote(0, "00:50:C2:75:00:05 0 10.30.0.5 255.255.255.0 admin\n"
                                            "00:50:C2:75:00:06 0 10.30.0.6 255.255.255.0 admin\n",
                                         {"--only", "udp"});
  SimProcess far = SimProcess::OnRemote(1, "00:50:C2:75:01:09 0 10.40.0.9 255.255.255.0 admin\n", {"--only", "udp"});
  SimProcess local = SimProcess::OnLink(0, "00:50:C2:75:02:01 0 10.10.0.31 255.255.255.0 admin\n", {"--only", "udp"});
  ASSERT_TRUE(near.Ready()) << near.Error();
  ASSERT_TRUE(far.Ready()) << far.Error();
  ASSERT_TRUE(local.Ready()) << local.Error();

  App();
  ScriptUi ui;
  CExplorerDlg dlg(ui);
  dlg.RunCommand(IDC_SCAN);
  ASSERT_TRUE(testsupport::FinishHandlers(dlg));
  EXPECT_EQ(Column(dlg, 1), (std::vector<std::string>{"10.10.0.31"})) << "no broadcast crosses the router";

  const std::string targets = "10.30.0.0/24  # hall 1\n10.40.0.9\n";
  ui.targetsAnswers = {targets};
  dlg.RunCommand(IDM_OTHER_NETWORKS);
  ASSERT_EQ(ui.targetsDialogs, (std::vector<std::string>{""}));
  dlg.RunCommand(IDC_SCAN);
  ASSERT_TRUE(testsupport::FinishHandlers(dlg));
  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  EXPECT_EQ(Column(dlg, 1), (std::vector<std::string>{"10.10.0.31", "10.30.0.5", "10.30.0.6", "10.40.0.9"}));

  // Set IP address on a device behind the router.
  CQuillbox* q = nullptr;
  for (int i = 0; i < dlg.DeviceList().topLevelItemCount(); ++i)
    if (dlg.DeviceList().topLevelItem(i)->text(0).toStdString() == "00:50:C2:75:00:06") q = dlg.DeviceAt(i);
  ASSERT_NE(q, nullptr);
  ui.network = [](NetworkDialogData& data) {
    data.ip = inet_addr("10.30.0.66");
    data.mask = inet_addr("255.255.255.0");
    data.password = "admin";
    return true;
  };
  dlg.SelectDevice(q);
  dlg.RunCommand(IDC_SET_IP_ADDRESS);
  ASSERT_TRUE(testsupport::FinishHandlers(dlg));
  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  dlg.RunCommand(IDC_SCAN);
  ASSERT_TRUE(testsupport::FinishHandlers(dlg));
  EXPECT_EQ(Column(dlg, 1), (std::vector<std::string>{"10.10.0.31", "10.30.0.5", "10.30.0.66", "10.40.0.9"}))
      << "the device took its new address";

  // The dialog opens with the session's list; Cancel keeps it.
  dlg.RunCommand(IDM_OTHER_NETWORKS);
  ASSERT_EQ(ui.targetsDialogs.size(), 2u);
  EXPECT_EQ(ui.targetsDialogs[1], targets);
  EXPECT_EQ(dlg.TargetsText(), targets);
  ASSERT_EQ(dlg.Scope().targets.size(), 2u);
  WaitForRunningOperation();
}

}  // namespace
