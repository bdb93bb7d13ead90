// explorerctl short of memory or threads, and given device lists that
// never end: each command fails with a text and exit status 1 (2 for a
// list it refuses), never by an abort.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/NetGuard.h"

namespace {

using namespace std::chrono_literals;
using ctltest::CtlResult;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // its shadow memory needs no address-space limit
#else
constexpr bool kSanitized = false;
#endif

// Every new thread asks for a stack of 1 GiB within 512 MiB of address
// space: the system refuses to start any, as it does when memory runs out.
constexpr const char* kNoThreads = "ulimit -s 1048576 && ulimit -v 524288 && ";
// About 200 MB of address space: enough to run, not enough to hold much.
constexpr const char* kLittleMemory = "ulimit -v 200000 && ";

// A device nobody plays: no command here gets as far as sending to it.
const std::string kRecord = std::string("0050c2770001") + "0000" + "7f00006f" + "ff000000";

CtlResult Limited(const std::string& limits, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv{"-c", limits + "exec \"$0\" \"$@\"", ctltest::CtlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  ctltest::CtlProcess p(argv, env, "/bin/sh");
  return p.Wait(60s);
}

class ShortageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    char pattern[] = "/tmp/ctl-shortage-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    testsupport::WriteAll(Path("image.pak"), std::string(1000, 'i'));
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(ShortageTest, ThreadsThatCannotStartFailTheCommandWithTheSystemsText) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's runtime cannot run under an address-space limit";
  const std::string refused = std::string(std::strerror(EAGAIN)) + "\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      // The operation queue's worker.
      {{"config", "get", "--record", kRecord, Path("got.txt")}, refused},
      // The trace's forwarder first: the upgrade goes on without it.
      {{"upgrade", "--record", kRecord, Path("image.pak"), "--verbose"},
       "explorerctl: the FTP dialogue cannot be shown: " + refused + refused},
      // The thread that waits in the library.
      {{"serve-image", Path("image.pak"), "--timeout", "1"}, refused},
      // The transport's receiver.
      {{"scan", "--passes", "1"}, "Cannot initialize networking\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const auto r = Limited(kNoThreads, c.args);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(Path("got.txt")));
}

TEST_F(ShortageTest, UploadThatRunsOutOfMemoryFailsTheCommand) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's runtime cannot run under an address-space limit";
  // 100 MB of nothing: no disk, and far more than the limit lets the
  // upload hold at once.
  {
    std::ofstream(Path("big.txt")).close();
    std::filesystem::resize_file(Path("big.txt"), 100u << 20);
  }
  const auto r = Limited(kLittleMemory, {"config", "put", "--record", kRecord, Path("big.txt")});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.find("terminate"), std::string::npos) << r.err;
}

// Writes `text` into the FIFO at `path` for whoever opens it for reading,
// `forever` over and over; gives up after a few seconds (the reader went or
// never came).
void FeedFifo(const std::string& path, const std::string& text, bool forever) {
  const auto giveUp = std::chrono::steady_clock::now() + 10s;
  int fd = -1;
  while ((fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
         std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(10ms);
  if (fd < 0) return;
  size_t done = 0;
  while (std::chrono::steady_clock::now() < giveUp) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EAGAIN) continue;
    if (n <= 0) break;  // the reader went
    done += static_cast<size_t>(n);
    if (done == text.size()) {
      if (!forever) break;
      done = 0;
    }
  }
  ::close(fd);
}

TEST_F(ShortageTest, DeviceListsThatNeverEndAreRefused) {
  ::signal(SIGPIPE, SIG_IGN);  // the feeder learns of the reader's end by EPIPE
  const std::string limits = kSanitized ? "" : kLittleMemory;
  auto tooMuch = [](const std::string& path) {
    return "explorerctl: " + path + " holds more than 4194304 bytes, too many for a list of devices\n";
  };
  // A pipe that is fed for ever.
  ASSERT_EQ(::mkfifo(Path("endless").c_str(), 0600), 0);
  std::thread feeder(FeedFifo, Path("endless"), std::string(64 * 1024, 'a'), true);
  auto r = Limited(limits, {"test", "--from", Path("endless")});
  feeder.join();
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_EQ(r.err, tooMuch(Path("endless")));
  EXPECT_LT(r.seconds, 5.0);

  // A file far larger than any list of devices.
  {
    std::ofstream(Path("huge.csv")).close();
    std::filesystem::resize_file(Path("huge.csv"), 5u << 20);
  }
  r = Limited(limits, {"test", "--from", Path("huge.csv")});
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_EQ(r.err, tooMuch(Path("huge.csv")));

  // A device that never ends, like /dev/zero: made in a tmpfs of a private
  // mount namespace, so the host's /dev is not touched.
  {
    std::vector<std::string> argv{
        "-m", "--propagation", "private", "/bin/sh", "-c",
        "mount -t tmpfs tmpfs \"$ZERO_DIR\" && mknod \"$ZERO_DIR/zero\" c 1 5 || exit 77\n" + limits +
            "exec \"$0\" \"$@\"",
        ctltest::CtlPath(), "test", "--from", Path("zero")};
    ctltest::CtlProcess p(argv, {"ZERO_DIR=" + dir_}, "/usr/bin/unshare");
    r = p.Wait(60s);
  }
  if (r.exitCode == 77) {
    ADD_FAILURE() << "no device node in a private mount namespace: " << r.err;
  } else {
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.err, tooMuch(Path("zero")));
    EXPECT_LT(r.seconds, 5.0);
  }

  // A pipe with a list that ends is read as a file is (nobody answers the
  // scan that follows).
  ASSERT_EQ(::mkfifo(Path("list").c_str(), 0600), 0);
  std::thread writer(FeedFifo, Path("list"), std::string("mac\n00:50:C2:77:00:01\n"), false);
  r = ctltest::RunCtl({"test", "--passes", "1", "--from", Path("list")});
  writer.join();
  EXPECT_EQ(r.exitCode, 5) << r.err;
  EXPECT_EQ(r.err, "No Osprey Panels found\n");
}

}  // namespace
