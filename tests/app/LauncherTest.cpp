// The process-start layer and the browser look-up.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "explorer/app/ProcessLauncher.h"
#include "explorer/app/WebLaunch.h"
#include "explorer/protocol/DeviceMessages.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

TEST(Launcher, StartsWithTheGivenArgumentVectorAndCollectsTheChild) {
  const fs::path out = fs::temp_directory_path() / ("app_launch_" + std::to_string(getpid()));
  setenv("QUILL_RECORD_FILE", out.c_str(), 1);
  const std::string recorder = std::string(QUILL_BIN_DIR) + "/app_argv_recorder";
  const LaunchResult r = StartProgram(recorder, {"netscape", "http://10.0.0.5"});
  ASSERT_EQ(r.result, 0) << r.error;
  // Ends by itself; the next collection finds it (bounded wait).
  for (int i = 0; i < 250 && UnreapedStartedPrograms() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ReapStartedPrograms();
  }
  EXPECT_EQ(UnreapedStartedPrograms(), 0);
  std::ifstream in(out);
  std::string a0, a1;
  std::getline(in, a0);
  std::getline(in, a1);
  EXPECT_EQ(a0, "netscape");
  EXPECT_EQ(a1, "http://10.0.0.5");
  fs::remove(out);
}

TEST(Launcher, AMissingProgramIsReportedWithItsErrorNumber) {
  const LaunchResult r = StartProgram("no-such-program-for-this-test", {"netscape", "x"});
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.error, ENOENT);
  const LaunchResult r2 = StartProgram("/nonexistent/dir/browser", {"netscape", "x"});
  EXPECT_EQ(r2.result, -1);
  EXPECT_EQ(r2.error, ENOENT);
}

TEST(Launcher, OtherChildrenOfTheProcessAreLeftToTheirOwner) {
  pid_t pid = -1;
  char arg0[] = "true";
  char* argv[] = {arg0, nullptr};
  ASSERT_EQ(posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ReapStartedPrograms();
  StartProgram("no-such-program-for-this-test", {"x"});  // collects too
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);  // still ours to wait for
}

TEST(DefaultBrowser, TakesTheFirstEntryOfBrowserElseTheOpener) {
  std::string path;
  setenv("BROWSER", "/opt/web/firefox:chromium", 1);
  ASSERT_TRUE(FindDefaultBrowser(path));
  EXPECT_EQ(path, "/opt/web/firefox");
  setenv("BROWSER", "::lynx", 1);
  ASSERT_TRUE(FindDefaultBrowser(path));
  EXPECT_EQ(path, "lynx");

  // A path that would have to be cut short counts as none.
  setenv("BROWSER", std::string(MAX_BROWSER_PATH + 1, 'b').c_str(), 1);
  EXPECT_FALSE(FindDefaultBrowser(path));
  setenv("BROWSER", std::string(MAX_BROWSER_PATH, 'b').c_str(), 1);
  EXPECT_TRUE(FindDefaultBrowser(path));

  const fs::path dir = fs::temp_directory_path() / ("app_opener_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  unsetenv("BROWSER");
  setenv("PATH", dir.c_str(), 1);
  EXPECT_FALSE(FindDefaultBrowser(path));
  {
    std::ofstream(dir / "xdg-open") << "#!/bin/sh\n";
  }
  fs::permissions(dir / "xdg-open", fs::perms::owner_all);
  EXPECT_TRUE(FindDefaultBrowser(path));
  EXPECT_EQ(path, "xdg-open");
  setenv("PATH", oldPath.c_str(), 1);
  fs::remove_all(dir);
}

TEST(DefaultBrowser, AddressByKind) {
  DeviceRecord r;
  r.setIp(htonl(0x0A000005));
  r.setKind(0);
  EXPECT_EQ(ConfigurationAddress(r), "http://10.0.0.5");
  r.setKind(48);
  EXPECT_EQ(ConfigurationAddress(r), "telnet://10.0.0.5");
  r.setKind(49);
  EXPECT_EQ(ConfigurationAddress(r), "telnet://10.0.0.5");
  r.setKind(18);
  EXPECT_EQ(ConfigurationAddress(r), "http://10.0.0.5");
}

}  // namespace
