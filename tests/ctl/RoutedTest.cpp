// explorerctl behind a router (scripts/netns-links.sh --routed): devices on
// 10.30.0.0/24 and 10.40.0.0/24 hear no broadcast of the PC's, so they are
// found through targets, directed broadcasts and sweeps, and given new
// addresses from there.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/NetGuard.h"
#include "tests/support/SimProcess.h"

namespace {

using ctltest::RunCtl;
using testsupport::SimProcess;

constexpr const char* kHeader = "mac,ip,mask,kind,link,via,duplicate_ip,no_address\r\n";

std::string Row(const char* mac, const char* ip, const char* link, const char* via) {
  return std::string(mac) + "," + ip + ",255.255.255.0,0," + link + "," + via + ",false,false\r\n";
}

class RoutedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_LINK_TOPOLOGY();
    if (!std::getenv("QUILL_NETNS_REMOTE_SEGMENTS"))
      GTEST_SKIP() << "needs the routed bed (scripts/netns-links.sh --routed)";
    near_ = std::make_unique<SimProcess>(SimProcess::OnRemote(0,
        "00:50:C2:73:00:05 0 10.30.0.5 255.255.255.0 admin\n"
        "00:50:C2:73:00:06 0 10.30.0.6 255.255.255.0 admin\n"
        "00:50:C2:73:00:C8 0 10.30.0.200 255.255.255.0 admin\n",
        {"--only", "udp"}));
    far_ = std::make_unique<SimProcess>(
        SimProcess::OnRemote(1, "00:50:C2:73:01:09 0 10.40.0.9 255.255.255.0 admin\n", {"--only", "udp"}));
    local_ = std::make_unique<SimProcess>(
        SimProcess::OnLink(0, "00:50:C2:73:02:01 0 10.10.0.31 255.255.255.0 admin\n", {"--only", "udp"}));
    ASSERT_TRUE(near_->Ready()) << near_->Error();
    ASSERT_TRUE(far_->Ready()) << far_->Error();
    ASSERT_TRUE(local_->Ready()) << local_->Error();
  }

  std::unique_ptr<SimProcess> near_, far_, local_;
};

const std::string kLocal = Row("00:50:C2:73:02:01", "10.10.0.31", "qla", "qla");

TEST_F(RoutedTest, TargetsFindWhatTheBroadcastsCannot) {
  auto r = RunCtl({"scan", "--passes", "1", "--format", "csv"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader + kLocal) << "a limited broadcast never crosses the router";

  r = RunCtl({"scan", "--passes", "1", "--format", "csv", "--target", "10.30.0.0/24", "--target", "10.40.0.9"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader + kLocal + Row("00:50:C2:73:00:05", "10.30.0.5", "qlc", "10.30.0.0/24") +
                       Row("00:50:C2:73:00:06", "10.30.0.6", "qlc", "10.30.0.0/24") +
                       Row("00:50:C2:73:00:C8", "10.30.0.200", "qlc", "10.30.0.0/24") +
                       Row("00:50:C2:73:01:09", "10.40.0.9", "qlc", "10.40.0.9"))
      << "the local device by the broadcast, the remote ones by a directed broadcast and a unicast";

  r = RunCtl({"scan", "--passes", "1", "--format", "csv", "--no-broadcast", "--target", "10.40.0.0/24"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader + Row("00:50:C2:73:01:09", "10.40.0.9", "qlc", "10.40.0.0/24"))
      << "without the broadcasts only the targets are asked";

  const std::string file = std::string(std::getenv("QUILL_SIM_DIR")) + "/targets.txt";
  std::ofstream(file) << "# the plant's second hall\n10.40.0.9   # panel by the door\n\n10.30.0.6\n";
  r = RunCtl({"scan", "--passes", "1", "--format", "csv", "--no-broadcast", "--targets-file", file});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader + Row("00:50:C2:73:00:06", "10.30.0.6", "qlc", "10.30.0.6") +
                       Row("00:50:C2:73:01:09", "10.40.0.9", "qlc", "10.40.0.9"));
}

TEST_F(RoutedTest, BadTargetsAreRefusedBeforeAnythingIsSent) {
  const std::string file = std::string(std::getenv("QUILL_SIM_DIR")) + "/bad-targets.txt";
  std::ofstream(file) << "10.30.0.0/24\n10.30.0.0/31\nhall-2\n";
  auto r = RunCtl({"scan", "--targets-file", file});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("line 2: /31 is out of range"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line 3: \"hall-2\" is neither"), std::string::npos) << r.err;
  r = RunCtl({"scan", "--sweep", "10.0.0.0/8"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("/8 is out of range"), std::string::npos) << r.err;
  r = RunCtl({"scan", "--no-broadcast"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("--no-broadcast needs"), std::string::npos) << r.err;
}

TEST_F(RoutedTest, ASweepFindsEveryRemoteDeviceOnce) {
  auto r = RunCtl({"scan", "--passes", "1", "--format", "csv", "--sweep", "10.30.0.0/24", "--sweep",
                   "10.40.0.1-10.40.0.20", "--rate", "2000"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader + kLocal + Row("00:50:C2:73:00:05", "10.30.0.5", "qlc", "10.30.0.0/24") +
                       Row("00:50:C2:73:00:06", "10.30.0.6", "qlc", "10.30.0.0/24") +
                       Row("00:50:C2:73:00:C8", "10.30.0.200", "qlc", "10.30.0.0/24") +
                       Row("00:50:C2:73:01:09", "10.40.0.9", "qlc", "10.40.0.1-10.40.0.20"));
}

TEST_F(RoutedTest, CtrlCEndsALongSweepAtOnce) {
  // 65,534 requests at 100 a second would take eleven minutes.
  ctltest::CtlProcess ctl({"scan", "--passes", "1", "--sweep", "10.30.0.0/16", "--rate", "100"});
  ASSERT_TRUE(ctl.Started());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ctl.Signal(SIGINT);
  const auto r = ctl.Wait(std::chrono::seconds(10));
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_LT(r.seconds, 4.0) << "the sweep stops between two batches";
}

TEST_F(RoutedTest, SetIpReachesADeviceBehindTheRouter) {
  // By address: asked alone first, no broadcast pass.
  auto r = RunCtl({"set-ip", "10.30.0.6", "10.30.0.66"}, {"EXPLORERCTL_PASSWORD=admin"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "00:50:C2:73:00:06 10.30.0.66 255.255.255.0\n");
  // By MAC: found through the directed broadcast, which its request takes too.
  r = RunCtl({"set-ip", "00:50:C2:73:00:05", "10.30.0.55", "--target", "10.30.0.0/24"},
             {"EXPLORERCTL_PASSWORD=admin"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  r = RunCtl({"scan", "--passes", "1", "--format", "csv", "--no-broadcast", "--target", "10.30.0.0/24"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader + Row("00:50:C2:73:00:05", "10.30.0.55", "qlc", "10.30.0.0/24") +
                       Row("00:50:C2:73:00:06", "10.30.0.66", "qlc", "10.30.0.0/24") +
                       Row("00:50:C2:73:00:C8", "10.30.0.200", "qlc", "10.30.0.0/24"));
  // A MAC nobody behind the targets has.
  r = RunCtl({"set-ip", "00:50:C2:73:00:99", "10.30.0.99", "--target", "10.30.0.0/24"},
             {"EXPLORERCTL_PASSWORD=admin"});
  EXPECT_EQ(r.exitCode, 3) << r.err;
}

TEST_F(RoutedTest, APlanIsCheckedWholeThenAppliedAndConfirmedRowByRow) {
  const std::string dir = std::getenv("QUILL_SIM_DIR");
  const std::vector<std::string> env{"EXPLORERCTL_PASSWORD=admin"};
  const std::vector<std::string> reach{"--target", "10.30.0.0/24", "--target", "10.40.0.9"};
  const auto setIp = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "set-ip");
    args.insert(args.end(), reach.begin(), reach.end());
    return RunCtl(args, env);
  };

  std::ofstream(dir + "/bad-plan.csv") << "mac,ip,mask\r\n00:50:C2:73:00:05,10.30.0.50,255.255.255.0\r\n"
                                          "00:50:C2:73:00:06,10.30.0.200,255.255.255.0\r\n";
  auto r = setIp({"--plan", dir + "/bad-plan.csv"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("row 3: 10.30.0.200 is in use by 00:50:C2:73:00:C8, which is not in the plan"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;

  std::ofstream(dir + "/plan.csv") << "mac,ip,mask\r\n00:50:C2:73:00:05,10.30.0.50,255.255.255.0\r\n"
                                      "00:50:C2:73:01:09,10.40.0.90,255.255.255.0\r\n"
                                      "00:50:C2:73:02:01,10.10.0.41,255.255.255.0\r\n";
  r = setIp({"--plan", dir + "/plan.csv", "--dry-run"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("00:50:C2:73:00:05  10.30.0.5   10.30.0.50  255.255.255.0  not applied"), std::string::npos)
      << r.out;

  r = setIp({"--plan", dir + "/plan.csv"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "MAC                OLD IP      NEW IP      MASK           RESULT\n"
            "00:50:C2:73:00:05  10.30.0.5   10.30.0.50  255.255.255.0  confirmed\n"
            "00:50:C2:73:01:09  10.40.0.9   10.40.0.90  255.255.255.0  confirmed\n"
            "00:50:C2:73:02:01  10.10.0.31  10.10.0.41  255.255.255.0  confirmed\n")
      << "the dry run changed nothing; the plan then moved a device behind each router and one on a link";
}

}  // namespace
