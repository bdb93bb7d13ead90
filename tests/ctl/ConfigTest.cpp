// explorerctl config get / put against simulated web servers: a round trip
// that keeps every byte, failures that leave the old file as it was, a
// refused password, and the ways a slow retrieve can be ended in the middle
// (Ctrl-C, a hang-up, SIGQUIT, its deadline) or not (SIGPIPE).
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/SimulatedDevicesSuite.h"

namespace {

using namespace std::chrono_literals;
using ctltest::RunCtl;
using testsupport::ReadAll;
using testsupport::WriteAll;

// Zero bytes, CRLF and LF line ends, a line without an end: all must survive.
const std::string kConfig = std::string("# plant 7\r\nname=pa\0nel\nmode=auto\r\nlast=1", 39);

class ConfigTest : public testsupport::SimulatedDevicesSuite<ConfigTest> {
 protected:
  static void SetUpTestSuite() {
    StartDevices("ctl-config", {"--only", "udp,http"}, [](const std::string& dir) {
      WriteAll(dir + "/device1.txt", kConfig);
      return "00:50:C2:72:00:01 0 127.0.0.81 255.0.0.0 kqe config=" + dir + "/device1.txt\n"
             "00:50:C2:72:00:02 1 127.0.0.82 255.0.0.0 kqe config-out=" + dir + "/uploaded.txt\n"
             "00:50:C2:72:00:03 0 127.0.0.83 255.0.0.0 kqe http-status=404\n"
             "00:50:C2:72:00:04 0 127.0.0.84 255.0.0.0 kqe http-slow=20 config-bytes=" +
             std::to_string(kSlowBytes) + "\n";
    });
  }
  // Names in the folder that are neither given files nor the simulator's.
  static std::vector<std::string> Leftovers(const std::string& keep) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      const std::string n = e.path().filename().string();
      if (n != keep && n != "device1.txt" && n != "uploaded.txt" && n != "got.txt") names.push_back(n);
    }
    return names;
  }
  // A retrieve from the slow device into `name`, once it has written part
  // of the body (null when it never started writing). The scan takes 4.4 s;
  // the body then trickles in for about 8 s.
  static std::unique_ptr<ctltest::CtlProcess> SlowRetrieveUnderWay(const std::string& name) {
    auto get = std::make_unique<ctltest::CtlProcess>(
        std::vector<std::string>{"config", "get", "127.0.0.84", Path(name)});
    if (!get->Started()) return nullptr;
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (Leftovers(name).empty() && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(50ms);
    if (Leftovers(name).empty()) return nullptr;
    std::this_thread::sleep_for(500ms);
    return get;
  }
  static constexpr size_t kSlowBytes = 400000;
};

TEST_F(ConfigTest, RoundTripKeepsEveryByte) {
  auto r = RunCtl({"config", "get", "127.0.0.81", Path("got.txt")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Operation completed successfully\n");
  EXPECT_EQ(ReadAll(Path("got.txt")), kConfig);

  r = RunCtl({"config", "put", "00:50:C2:72:00:02", Path("got.txt")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadAll(Path("uploaded.txt")), kConfig);

  // And back from the device that took it.
  r = RunCtl({"config", "get", "127.0.0.82", Path("again.txt")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadAll(Path("again.txt")), kConfig);
  ::unlink(Path("again.txt").c_str());
}

TEST_F(ConfigTest, FailedRetrievesLeaveTheOldFileAsItWas) {
  const std::string old = "old contents\n";
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> env;
    int exitCode;
    std::string err;
  } cases[] = {
      {{"config", "get", "127.0.0.83", Path("keep.txt")}, {}, 1, "Configuration file not found\n"},
      {{"config", "get", "127.0.0.81", Path("keep.txt")}, {"EXPLORERCTL_PASSWORD=wrong"}, 4,
       "Invalid password. Give the password with --password-file FILE, --ask-password or the "
       "environment variable EXPLORERCTL_PASSWORD.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    WriteAll(Path("keep.txt"), old);
    const auto r = RunCtl(c.args, c.env);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(ReadAll(Path("keep.txt")), old);
    EXPECT_TRUE(Leftovers("keep.txt").empty());
  }
  // Nothing is sent when the upload's file is missing.
  const auto r = RunCtl({"config", "put", "127.0.0.82", Path("missing.txt")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, Path("missing.txt") + " was not found.\n");
  ::unlink(Path("keep.txt").c_str());
}

TEST_F(ConfigTest, CtrlCDuringARetrieveLeavesNoPartialFile) {
  const std::string old = "the file before\n";
  WriteAll(Path("slow.txt"), old);
  auto get = SlowRetrieveUnderWay("slow.txt");
  ASSERT_TRUE(get) << "the transfer never started writing";
  get->Signal(SIGINT);
  const auto r = get->Wait(20s);
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_EQ(r.err, "Interrupted: " + Path("slow.txt") + " was left as it was\n");
  EXPECT_EQ(ReadAll(Path("slow.txt")), old);
  EXPECT_TRUE(Leftovers("slow.txt").empty());
  ::unlink(Path("slow.txt").c_str());
}

// A hang-up (the terminal or the SSH session closed) and SIGQUIT cancel
// like Ctrl-C and end with the signal's own status.
TEST_F(ConfigTest, HangUpAndQuitDuringARetrieveLeaveNoPartialFile) {
  const std::string old = "the file before\n";
  const struct {
    int sig;
    int exitCode;
  } cases[] = {{SIGHUP, 129}, {SIGQUIT, 131}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::strsignal(c.sig));
    WriteAll(Path("slow.txt"), old);
    auto get = SlowRetrieveUnderWay("slow.txt");
    ASSERT_TRUE(get) << "the transfer never started writing";
    get->Signal(c.sig);
    const auto r = get->Wait(20s);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_EQ(r.err, "Interrupted: " + Path("slow.txt") + " was left as it was\n");
    EXPECT_EQ(ReadAll(Path("slow.txt")), old);
    EXPECT_TRUE(Leftovers("slow.txt").empty());
  }
  ::unlink(Path("slow.txt").c_str());
}

// SIGPIPE only says that some reader has gone; the retrieve goes on to its
// end, and a write to that reader fails where it is made.
TEST_F(ConfigTest, ABrokenPipeSignalDoesNotEndARetrieve) {
  WriteAll(Path("slow.txt"), "the file before\n");
  auto get = SlowRetrieveUnderWay("slow.txt");
  ASSERT_TRUE(get) << "the transfer never started writing";
  get->Signal(SIGPIPE);
  const auto r = get->Wait(40s);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Operation completed successfully\n");
  EXPECT_EQ(ReadAll(Path("slow.txt")).size(), kSlowBytes);
  EXPECT_TRUE(Leftovers("slow.txt").empty());
  ::unlink(Path("slow.txt").c_str());
}

TEST_F(ConfigTest, ARetrievePastItsTimeoutFailsAndKeepsTheOldFile) {
  const std::string old = "the file before\n";
  WriteAll(Path("slow.txt"), old);
  const auto r =
      RunCtl({"config", "get", "127.0.0.84", Path("slow.txt"), "--timeout", "2"}, {}, 40s);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err, "Timed out after 2 s: " + Path("slow.txt") + " was left as it was\n");
  EXPECT_EQ(r.out, "");
  // The scan's 4.4 s, the deadline, and the cancel within a second.
  EXPECT_LT(r.seconds, 4.4 + 2 + 3);
  EXPECT_EQ(ReadAll(Path("slow.txt")), old);
  EXPECT_TRUE(Leftovers("slow.txt").empty());
  ::unlink(Path("slow.txt").c_str());
}

}  // namespace
