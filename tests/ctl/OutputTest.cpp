// explorerctl's output is worth what it says: results that could not be
// written (a full disk, a closed standard output) fail the command, and
// what a hostile device says reaches the terminal without the control bytes
// that would make the terminal act on it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ScriptedFtpServer.h"
#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/SimulatedDevicesSuite.h"

namespace {

using namespace std::chrono_literals;
using ctltest::CtlResult;

constexpr const char* kClosedText = "explorerctl: cannot write standard output: Bad file descriptor\n";
constexpr const char* kFullText = "explorerctl: cannot write standard output: No space left on device\n";

// explorerctl through `sh -c script`, as "$0" with `args` as "$@".
CtlResult Shell(const std::string& script, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"-c", script, ctltest::CtlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  ctltest::CtlProcess p(argv, {}, "/bin/sh");
  return p.Wait(60s);
}

// explorerctl with its standard output on a file system that is full: a
// tiny tmpfs filled up, mounted on a folder of the test's own inside a
// private mount namespace, so nothing of the host is touched. Exit 77 when
// no such namespace can be made.
CtlResult IntoFullDisk(const std::vector<std::string>& args) {
  char pattern[] = "/tmp/ctl-full-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  std::vector<std::string> argv{"-m", "--propagation", "private", "/bin/sh", "-c",
                                "mount -t tmpfs -o size=4k tmpfs \"$FULL_DIR\" || exit 77\n"
                                "yes >\"$FULL_DIR/filler\" 2>&1\n"
                                "exec \"$0\" \"$@\" >\"$FULL_DIR/results\"",
                                ctltest::CtlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  ctltest::CtlProcess p(argv, {"FULL_DIR=" + dir}, "/usr/bin/unshare");
  CtlResult r = p.Wait(60s);
  std::filesystem::remove_all(dir);  // the tmpfs went with the namespace
  return r;
}

// Nothing but tabs, line ends and printable text (the hostile texts here
// are ASCII apart from their control bytes).
void ExpectTerminalSafe(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool ok = c == '\t' || c == '\n' || (c >= 0x20 && c < 0x7F);
    EXPECT_TRUE(ok) << "byte " << int(c) << " at " << i << " of: " << text;
    if (!ok) return;
  }
}

TEST(OutputLostTest, HelpThatCannotBeWrittenFailsTheCommand) {
  auto r = Shell("exec \"$0\" \"$@\" >&-", {"--help"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kClosedText);
  // Opened for writing only, as any redirection does: /dev/full stays.
  r = Shell("exec \"$0\" \"$@\" >/dev/full", {"--version"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kFullText);
  r = IntoFullDisk({"--help"});
  if (r.exitCode == 77) GTEST_SKIP() << "no private mount namespace: " << r.err;
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kFullText);
}

// Hostile words: retitle the window, clear the screen, ask the terminal to
// answer (CSI 6n, as the C1 byte in its UTF-8 form), ring the bell. No
// blanks: the simulator's options end at one.
const std::string kHostile = "\x1b]0;owned\x07\x1b[2J\xc2\x9b" "6n\x7f" "bad";

class OutputTest : public testsupport::SimulatedDevicesSuite<OutputTest> {
 protected:
  static void SetUpTestSuite() {
    StartDevices("ctl-output", {"--only", "udp,http"}, [](const std::string& dir) {
      testsupport::WriteAll(dir + "/config.txt", "name=panel\n");
      testsupport::WriteAll(dir + "/image.pak", std::string(1000, 'i'));
      return "00:50:C2:76:00:01 3 127.0.0.101 255.0.0.0 kqe\n"
             "00:50:C2:76:00:02 0 127.0.0.102 255.0.0.0 kqe http-status=400 http-body=" +
             kHostile + "\n";
    });
  }
};

TEST_F(OutputTest, AScanThatCannotBeWrittenFailsTheCommand) {
  const std::vector<std::string> scan{"scan", "--passes", "1", "--format", "json"};
  auto r = ctltest::RunCtl(scan);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("00:50:C2:76:00:01"), std::string::npos) << r.out;
  r = Shell("exec \"$0\" \"$@\" >&-", scan);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kClosedText);
  r = IntoFullDisk(scan);
  if (r.exitCode == 77) GTEST_SKIP() << "no private mount namespace: " << r.err;
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kFullText);
}

TEST_F(OutputTest, HostileFtpRepliesReachTheTerminalDefused) {
  testftp::Script script;
  script.greeting = "220 " + kHostile + " ready\r\n";
  script.pass = "530 " + kHostile + " Login incorrect\r\n";
  testftp::ScriptedFtpServer device(script, "127.0.0.103", 21);
  ASSERT_NE(device.Port(), 0) << "cannot listen on 127.0.0.103:21";
  const std::string record = "0050c2760003" "0000" "7f000067" "ff000000";
  for (bool verbose : {false, true}) {
    SCOPED_TRACE(verbose ? "--verbose" : "quiet");
    std::vector<std::string> args{"upgrade", "--record", record, Path("image.pak")};
    if (verbose) args.push_back("--verbose");
    const auto r = ctltest::RunCtl(args, {}, 60s);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    // The device's words are all there, only defused.
    EXPECT_NE(r.err.find("?]0;owned??[2J?6n?bad Login incorrect"), std::string::npos) << r.err;
    if (verbose) {
      EXPECT_NE(r.err.find("?]0;owned??[2J?6n?bad ready"), std::string::npos) << r.err;
    }
    ExpectTerminalSafe(r.err);
    ExpectTerminalSafe(r.out);
  }
}

TEST_F(OutputTest, HostileHttpAnswerReachesTheTerminalDefused) {
  const auto r = ctltest::RunCtl(
      {"config", "put", "--record", "0050c2760002" "0000" "7f000066" "ff000000", Path("config.txt")});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err, "Configuration Upload error!\n\n?]0;owned??[2J?6n?bad\n");
  ExpectTerminalSafe(r.err);
}

}  // namespace
