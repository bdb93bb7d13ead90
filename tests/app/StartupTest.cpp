// The program refuses to open its main window without a complete upgrade
// library, and says why.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "explorer/res/Strings.h"

extern char** environ;

namespace {

struct ProbeRun {
  int status = -1;
  std::string out;
};

// Runs the start-up probe with LD_LIBRARY_PATH = libraryDir, within 20 s.
ProbeRun RunProbe(const std::string& libraryDir) {
  ProbeRun run;
  const std::string probe = std::string(QUILL_BIN_DIR) + "/app_startup_probe";
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("LD_LIBRARY_PATH=", 0) != 0) env.emplace_back(*e);
  }
  env.push_back("LD_LIBRARY_PATH=" + libraryDir);
  env.push_back("QT_QPA_PLATFORM=offscreen");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string arg0 = probe;
  char* argv[] = {arg0.data(), nullptr};

  int fds[2];
  if (pipe(fds) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  char buf[4096];
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    run.out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  waitpid(pid, &run.status, 0);
  return run;
}

bool Has(const ProbeRun& run, const std::string& line) { return run.out.find(line) != std::string::npos; }

const std::string kStubs = std::string(QUILL_BIN_DIR) + "/../app-test-libs/";

TEST(Startup, MissingLibraryShowsItsStopBoxAndNoMainWindow) {
  const ProbeRun run = RunProbe(kStubs + "none");
  // The probe has no RUNPATH: the loader looked in LD_LIBRARY_PATH, then the
  // system's folders, and the box says so after the explorer's text.
  EXPECT_TRUE(Has(run, "BOX icon=2 caption=app_startup_probe text=QUILLBOX.DLL not found (looked in " +
                           kStubs + "none, /"))
      << run.out;
  EXPECT_TRUE(Has(run, "/usr/lib)\n")) << run.out;
  EXPECT_FALSE(Has(run, "MAIN WINDOW")) << run.out;
  EXPECT_TRUE(Has(run, "BOUND handle=0")) << run.out;
  ASSERT_TRUE(WIFEXITED(run.status)) << run.out;
  EXPECT_EQ(WEXITSTATUS(run.status), 3);
}

TEST(Startup, LibraryLackingWaitForFileIsRefusedAfterAllFourLookUps) {
  const ProbeRun run = RunProbe(kStubs + "partial");
  EXPECT_TRUE(Has(run, "BOX icon=2 caption=app_startup_probe text=Upgrade function not found in QUILLBOX.DLL\n"))
      << run.out;
  EXPECT_FALSE(Has(run, "MAIN WINDOW")) << run.out;
  // The lookups after the miss were made too, and the library stays
  // loaded until the exit step releases it.
  EXPECT_TRUE(Has(run, "BOUND handle=1 Upgrade=1 GetLastError=1 Cancel=1 WaitForFile=0")) << run.out;
  EXPECT_TRUE(Has(run, "REBIND 8192\n")) << run.out;
  EXPECT_TRUE(Has(run, "RELEASED 1")) << run.out;
}

TEST(Startup, CompleteLibraryOpensTheMainWindowSilently) {
  const ProbeRun run = RunProbe(kStubs + "complete");
  EXPECT_FALSE(Has(run, "BOX")) << run.out;
  EXPECT_TRUE(Has(run, "BOUND handle=1 Upgrade=1 GetLastError=1 Cancel=1 WaitForFile=1")) << run.out;
  EXPECT_TRUE(Has(run, "REBIND 0\n")) << run.out;
  EXPECT_TRUE(Has(run, "MAIN WINDOW " + LoadBrandString(IDS_TITLE) + "\n")) << run.out;
  EXPECT_TRUE(Has(run, "RELEASED 1")) << run.out;
  ASSERT_TRUE(WIFEXITED(run.status)) << run.out;
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
}

TEST(Startup, TheRealLibraryBesideTheProgramIsComplete) {
  // The build's own library, found in the program folder.
  const ProbeRun run = RunProbe(QUILL_BIN_DIR);
  EXPECT_TRUE(Has(run, "BOUND handle=1 Upgrade=1 GetLastError=1 Cancel=1 WaitForFile=1")) << run.out;
  EXPECT_TRUE(Has(run, "MAIN WINDOW")) << run.out;
}

}  // namespace
