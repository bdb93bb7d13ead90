// explorerctl config get / put against simulated web servers: a round trip
// that keeps every byte, failures that leave the old file as it was, a
// refused password, the ways a slow retrieve can be ended in the middle
// (Ctrl-C, a hang-up, SIGQUIT, its deadline) or not (SIGPIPE), standard
// output as the file, a device sending too much, an upload that streams its
// file, and special files (only in a private mount namespace) that stay
// what they are.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/HttpPeer.h"
#include "tests/support/NetGuard.h"
#include "tests/support/PrivateMount.h"
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
             std::to_string(kSlowBytes) + "\n"
             "00:50:C2:72:00:05 0 127.0.0.85 255.0.0.0 kqe config-bytes=16777217\n";
    });
  }
  // Names in the folder that are neither given files nor the simulator's.
  static std::vector<std::string> Leftovers(const std::string& keep) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      const std::string n = e.path().filename().string();
      if (n != keep && n != "device1.txt" && n != "uploaded.txt" && n != "got.txt" && n != "-")
        names.push_back(n);
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

// --record for a device of kind 0 at 127.0.0.LAST (no scan needed).
std::string RecordAt(int last) {
  char hex[33];
  std::snprintf(hex, sizeof hex, "0050c27200%02x00007f0000%02xff000000", last, last);
  return hex;
}

TEST_F(ConfigTest, StandardOutputTakesTheConfigurationAndNothingElse) {
  const auto r = RunCtl({"config", "get", "127.0.0.81", "-"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kConfig);
  EXPECT_EQ(r.err, "Operation completed successfully\n");
  EXPECT_NE(::access("-", F_OK), 0) << "a file named - was made";
}

TEST_F(ConfigTest, DeviceSendingMoreThanAConfigurationIsRefused) {
  const std::string old = "old contents\n";
  WriteAll(Path("keep.txt"), old);
  const auto r = RunCtl({"config", "get", "--record", RecordAt(0x55), Path("keep.txt")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "The device sent more than 16 MiB; the configuration was not stored\n");
  EXPECT_EQ(testsupport::Brief(ReadAll(Path("keep.txt"))), old);
  EXPECT_TRUE(Leftovers("keep.txt").empty());
  ::unlink(Path("keep.txt").c_str());
}

TEST_F(ConfigTest, UploadStreamsTheFileInsteadOfHoldingIt) {
  // 200 MB of zero bytes (a file with a hole: no disk needed), to a server
  // that only counts what it gets and checks that it is zeros.
  constexpr off_t kSize = 200 * 1000 * 1000;
  const std::string file = Path("big.cfg");
  {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    ::close(fd);
  }
  // The peer's thread writes these while the test reads them after the run;
  // the lock makes that order visible (counting per chunk keeps it cheap
  // enough for sanitizer builds).
  std::mutex seenLock;
  uint64_t zeros = 0, others = 0;
  std::string announced;
  testsupport::HttpPeer peer("127.0.0.86", 80, [&](testsupport::HttpPeerConnection& c) {
    std::string head;
    if (!c.ReadHead(head)) return;
    const std::string length = testsupport::HttpPeerConnection::Header(head, "Content-Length");
    {
      const std::lock_guard<std::mutex> hold(seenLock);
      announced = length;
    }
    const uint64_t expected = std::stoull("0" + length);
    const uint64_t got = c.ReadBody(expected, [&](const char* p, size_t n) {
      const auto z = static_cast<uint64_t>(std::count(p, p + n, '\0'));
      const std::lock_guard<std::mutex> hold(seenLock);
      zeros += z;
      others += n - z;
    });
    if (got == expected) c.Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  ASSERT_TRUE(peer.Ready()) << peer.Error();
  // A deadline of its own: the point is memory, and sanitizer builds move
  // 200 MB far slower than the upload's usual budget allows.
  const auto r = RunCtl({"config", "put", "--timeout", "50", "--record", RecordAt(0x56), file});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::lock_guard<std::mutex> hold(seenLock);
  EXPECT_EQ(announced, std::to_string(kSize));
  EXPECT_EQ(zeros, static_cast<uint64_t>(kSize));
  EXPECT_EQ(others, 0u);
  // The largest child this test process has waited for (explorerctl runs
  // only) stayed far below the file's size.
  rusage children {};
  ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &children), 0);
  EXPECT_LT(children.ru_maxrss, 100L * 1024) << "KiB resident at most";
  ::unlink(file.c_str());
}

// Standing in for the host's /dev/null and friends, made only in a private
// mount namespace, served by a web server of the test's own.
class ConfigSpecialFileTest : public ::testing::Test {
 protected:
  void SetUp() override { QUILL_REQUIRE_PRIVATE_NETWORK(); }
};

TEST_F(ConfigSpecialFileTest, DevicesAndPipesStayWhatTheyAre) {
  std::string dir;
  QUILL_IN_PRIVATE_MOUNT(dir);
  testsupport::HttpPeer peer("127.0.0.87", 80, [](testsupport::HttpPeerConnection& c) {
    std::string head;
    if (c.ReadHead(head))
      c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kConfig.size()) + "\r\n\r\n" +
             kConfig);
  });
  ASSERT_TRUE(peer.Ready()) << peer.Error();
  const std::string null = dir + "/null", fifo = dir + "/fifo", tool = dir + "/tool";
  ASSERT_EQ(::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WriteAll(tool, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(tool.c_str(), 04755), 0);

  auto r = RunCtl({"config", "get", "--record", RecordAt(0x57), null});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(::lstat(null.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  r = RunCtl({"config", "get", "--record", RecordAt(0x57), fifo}, {}, std::chrono::seconds(20));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(r.killed) << "a pipe without a reader held the retrieve";
  EXPECT_EQ(r.err, "No program reads from " + fifo + "; the configuration was not stored\n");
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  r = RunCtl({"config", "get", "--record", RecordAt(0x57), tool});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadAll(tool), kConfig);
  ASSERT_EQ(::lstat(tool.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << "the set-user-ID bit came along";
}

}  // namespace
