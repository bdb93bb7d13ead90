// The explorer's command line as a user meets it in a terminal: the built
// program, run without any display, answers --help and --version, refuses
// what it does not understand, and still hands Qt's own options to Qt.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "explorer/res/Strings.h"
#include "tests/ctl/CtlProcess.h"

extern char** environ;

namespace fs = std::filesystem;
using ctltest::CtlProcess;
using ctltest::CtlResult;

namespace {

const std::string kExplorer = std::string(QUILL_BIN_DIR) + "/explorer";

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    // No display of any kind: what answers here answers before Qt needs one.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
  }
  static CtlResult Run(std::vector<std::string> args, std::vector<std::string> env = {},
                       const std::string& program = kExplorer) {
    CtlProcess p(std::move(args), std::move(env), program);
    return p.Wait(std::chrono::seconds(30));
  }
};

TEST_F(CommandLine, HelpAndVersionAnswerOnStandardOutput) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"--version", "--help"},
        // Qt's options, with their values, are stepped over.
        {"-platform", "offscreen", "--style", "Fusion", "-reverse", "-qmljsdebugger=port:1", "--help"}}) {
    SCOPED_TRACE(args.back());
    const CtlResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Usage: explorer [--screenshot FILE]", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--version"), std::string::npos);
    EXPECT_EQ(r.err, "");
  }
  // The same line as the About box's.
  const CtlResult r = Run({"--version"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, LoadBrandString(IDS_TITLE) + " " + LoadBrandString(IDS_VERSION) + "\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(CommandLine, WhatIsNotUnderstoodIsAUsageErrorNamingIt) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--bogus"}, "unrecognized option '--bogus'"},
      {{"-V"}, "unrecognized option '-V'"},
      {{"frobnicate"}, "unexpected argument 'frobnicate'"},
      {{"--screenshot"}, "option '--screenshot' needs a file name"},
      {{"--screenshot="}, "option '--screenshot' needs a file name"},
      {{"-platform"}, "option '-platform' needs a value"},
      // Asking for help does not excuse a mistyped option beside it.
      {{"--help", "--bogus"}, "unrecognized option '--bogus'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    const CtlResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("explorer: ") + c.says + "\nTry 'explorer --help' for more information.\n");
  }
}

// A copy of the program without its library beside it gets as far as its
// start-up check, so Qt must have taken -platform offscreen (without a
// display Qt would abort before that).
TEST_F(CommandLine, QtOptionsReachQt) {
  const fs::path dir = fs::temp_directory_path() / ("app_command_line_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(kExplorer, dir / "explorer");
  const CtlResult r = Run({"-platform", "offscreen", "-style", "Fusion", "-reverse", "--screenshot",
                           (dir / "shot.png").string()},
                          {"LD_LIBRARY_PATH=" + dir.string(), "XDG_RUNTIME_DIR=" + dir.string()},
                          (dir / "explorer").string());
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("[explorer] QUILLBOX.DLL not found"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "shot.png"));
  fs::remove_all(dir);
}

// Exit status of the program with its standard output closed, or a pipe
// nobody reads any more (SIGPIPE ignored, as a shell pipeline may have it).
int RunWithBrokenOutput(const std::string& arg, bool closed) {
  int fds[2] = {-1, -1};
  if (!closed && ::pipe(fds) != 0) return -2;
  if (!closed) ::close(fds[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (closed)
    posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
  else
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::string arg0 = kExplorer, arg1 = arg;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  struct sigaction ignore {}, before {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &before);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, kExplorer.c_str(), &actions, nullptr, argv, environ);
  ::sigaction(SIGPIPE, &before, nullptr);
  posix_spawn_file_actions_destroy(&actions);
  if (!closed) ::close(fds[1]);
  if (rc != 0) return -2;
  int status = 0;
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -3;
}

TEST_F(CommandLine, AnAnswerThatCannotBeWrittenIsAFailure) {
  for (const char* arg : {"--help", "--version"}) {
    SCOPED_TRACE(arg);
    EXPECT_EQ(RunWithBrokenOutput(arg, true), 1) << "standard output closed";
    EXPECT_EQ(RunWithBrokenOutput(arg, false), 1) << "nobody reads the pipe";
  }
}

}  // namespace
