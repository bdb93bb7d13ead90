// The window's "No ... found" box on a PC with two links
// (scripts/netns-links.sh): the box keeps its text, caption and icon, and
// carries the doctor's report as its details; a scan that lists devices
// shows no box at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "AppTestSupport.h"
#include "explorer/res/Strings.h"
#include "support/NetGuard.h"
#include "support/ScriptedUi.h"
#include "support/SimProcess.h"
#include "support/WindowHandlers.h"

namespace {

bool Shell(const std::string& command) {
  return std::system(("timeout 10 " + command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string SecondSegment() {
  std::istringstream words(std::getenv("QUILL_NETNS_SEGMENTS") ? std::getenv("QUILL_NETNS_SEGMENTS") : "");
  std::string first, second;
  words >> first >> second;
  return second;
}

class DoctorWindow : public ::testing::Test {
 protected:
  void SetUp() override { QUILL_REQUIRE_LINK_TOPOLOGY(); }
  void ScanOnce() {
    CExplorerDlg dlg(ui_);
    dlg.show();
    dlg.RunCommand(IDC_SCAN);
    ASSERT_TRUE(testsupport::FinishHandlers(dlg));
  }
  ScriptedUi ui_;
};

TEST_F(DoctorWindow, TheNothingFoundBoxCarriesTheReportAsItsDetails) {
  const std::string segment = SecondSegment();
  ASSERT_FALSE(segment.empty());
  ASSERT_TRUE(Shell("ip -n " + segment + " link set qlb down"));
  ScanOnce();
  Shell("ip -n " + segment + " link set qlb up");

  ASSERT_EQ(ui_.boxes.size(), 1u);
  const RecordedBox& box = ui_.boxes[0];
  EXPECT_EQ(box.text, "No " + LoadBrandString(IDS_DEVICE_NAME) + "s found");
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.icon, BoxIcon::Exclamation);
  for (const char* part : {"0 devices answered the discovery.\n",
                           "  qla: up, carrier, 10.10.0.1/24; broadcast sent, 0 devices answered\n",
                           "  qlb: up, no carrier, 10.20.0.1/24; no broadcast (no carrier)\n",
                           "Nothing answered through qla. Likely causes, most likely first:\n",
                           "under Other networks... (a right click on the window)"})
    EXPECT_NE(box.details.find(part), std::string::npos) << part << "\nin:\n" << box.details;
  EXPECT_EQ(box.details.find("Nothing answered through qlb"), std::string::npos) << "it was sent nothing";
}

TEST_F(DoctorWindow, AScanThatListsDevicesShowsNoBox) {
  auto sim = testsupport::SimProcess::OnLink(1, "00:50:C2:76:00:01 0 10.20.0.41 255.255.255.0 admin\n",
                                             {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ScanOnce();
  EXPECT_TRUE(ui_.boxes.empty()) << ui_.boxes[0].text;
}

}  // namespace
