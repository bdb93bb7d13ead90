#pragma once
// Runs build/bin/explorerctl (or another program) as a child for a test:
// standard input from /dev/null, standard output and error captured
// separately, extra environment entries, a bounded wait that kills a child
// that overstays, and signals in between (Ctrl-C tests).
//
//   CtlResult r = RunCtl({"scan", "--format", "csv"});
//   EXPECT_EQ(r.exitCode, 0) << r.err;
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ctltest {

struct CtlResult {
  int exitCode = -1;  // -1: ended by a signal or killed after the time limit
  std::string out;
  std::string err;
  bool killed = false;  // the time limit ran out
  double seconds = 0;
};

class CtlProcess {
 public:
  // env entries are "KEY=value" and replace inherited ones of the same key.
  explicit CtlProcess(std::vector<std::string> args, std::vector<std::string> env = {},
                      std::string program = "");
  ~CtlProcess();
  CtlProcess(const CtlProcess&) = delete;
  CtlProcess& operator=(const CtlProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool Started() const { return pid_ > 0; }
  void Signal(int sig);
  // Collects the output until the child ends; SIGKILL after `limit`.
  CtlResult Wait(std::chrono::seconds limit = std::chrono::seconds(60));

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  bool waited_ = false;
  std::chrono::steady_clock::time_point start_;
};

CtlResult RunCtl(std::vector<std::string> args, std::vector<std::string> env = {},
                 std::chrono::seconds limit = std::chrono::seconds(60));

// QUILL_BIN_DIR/explorerctl
std::string CtlPath();

// Direct children of `parent` alive right now (zombies included).
int CountChildren(pid_t parent);
std::vector<pid_t> ChildPids(pid_t parent);
// Whether pid is a process that has not ended (a zombie has ended).
bool StillRunning(pid_t pid);

}  // namespace ctltest
