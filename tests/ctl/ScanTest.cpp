// explorerctl scan against the sample devices: the three formats byte for
// byte, an empty network, and Ctrl-C in the middle of the passes.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <thread>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/NetGuard.h"
#include "tests/support/SimProcess.h"

namespace {

using namespace std::chrono_literals;
using ctltest::RunCtl;

std::string Golden(const std::string& name) {
  return testsupport::ReadAll(std::string(QUILL_SOURCE_DIR) + "/tests/ctl/golden/" + name);
}

class ScanTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!testsupport::InPrivateNetwork(&why)) return;
    sim_ = std::make_unique<testsupport::SimProcess>(std::vector<std::string>{
        "--file", std::string(QUILL_SOURCE_DIR) + "/tools/devicesim/sample-devices.txt"});
  }
  static void TearDownTestSuite() { sim_.reset(); }
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(sim_ && sim_->Ready()) << (sim_ ? sim_->Error() : "no simulator");
  }
  static std::unique_ptr<testsupport::SimProcess> sim_;
};
std::unique_ptr<testsupport::SimProcess> ScanTest::sim_;

// Sorted by address as the explorer's list is (0.0.0.0 first, equal
// addresses in answer order), duplicate and no-address marks, the device
// that answers twice listed once, the unknown kind left out.
TEST_F(ScanTest, EveryFormatMatchesItsGoldenOutput) {
  const struct {
    const char* format;
    const char* golden;
  } cases[] = {{"table", "scan.txt"}, {"csv", "scan.csv"}, {"json", "scan.json"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    const auto r = RunCtl({"scan", "--passes", "1", "--format", c.format});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, Golden(c.golden));
    // Standard error is no terminal here: no progress, nothing else either.
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(ScanTest, CtrlCStopsThePassesAndListsNothing) {
  ctltest::CtlProcess scan({"scan", "--format", "csv"});
  ASSERT_TRUE(scan.Started());
  std::this_thread::sleep_for(1500ms);
  scan.Signal(SIGINT);
  const auto r = scan.Wait(20s);
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_EQ(r.out, "");
  // Three passes would take 13.2 s; the cancel ends the one running.
  EXPECT_LT(r.seconds, 5.0);
}

// No simulator runs for this suite: nobody answers. That has a status of
// its own, neither "DEVICE not found" (3: scan has no DEVICE) nor a
// failure of networking (1).
TEST(ScanEmptyNetworkTest, NobodyAnsweringIsNoDeviceFoundWithAnEmptyList) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  const auto r = RunCtl({"scan", "--passes", "1", "--format", "json"});
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_EQ(r.out, "[]\n");
  EXPECT_EQ(r.err, "No Osprey Panels found\n");
  // A command that names a device still finds none answering to it.
  const auto named = RunCtl({"test", "00:50:C2:00:00:01", "--passes", "1"});
  EXPECT_EQ(named.exitCode, 3);
  EXPECT_EQ(named.err, "No Osprey Panels found\n");
}

}  // namespace
