// explorerctl's output is worth what it says: results that could not be
// written (a full disk, a closed standard output) fail the command.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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

class OutputTest : public testsupport::SimulatedDevicesSuite<OutputTest> {
 protected:
  static void SetUpTestSuite() {
    StartDevices("ctl-output", {"--only", "udp"}, [](const std::string&) {
      return std::string("00:50:C2:76:00:01 3 127.0.0.101 255.0.0.0 kqe\n");
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

}  // namespace
