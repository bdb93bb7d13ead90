#include "tests/ctl/CtlProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace ctltest {

std::string CtlPath() {
  const char* dir = std::getenv("QUILL_BIN_DIR");
  return std::string(dir ? dir : QUILL_BIN_DIR) + "/explorerctl";
}

CtlProcess::CtlProcess(std::vector<std::string> args, std::vector<std::string> env,
                       std::string program) {
  if (program.empty()) program = CtlPath();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer's dlopen searches from its own runtime, not from the
  // program with its RUNPATH: name the library's folder, unless the test
  // says where (or that there is none).
  bool givesPath = false;
  for (const std::string& x : env) givesPath |= x.rfind("LD_LIBRARY_PATH=", 0) == 0;
  if (!givesPath) env.push_back("LD_LIBRARY_PATH=" + CtlPath().substr(0, CtlPath().rfind('/')));
#endif
  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : env) replaced |= x.substr(0, x.find('=')) == key;
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv{program.data()};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  start_ = std::chrono::steady_clock::now();
  if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
}

CtlProcess::~CtlProcess() {
  if (pid_ > 0 && !waited_) Wait(std::chrono::seconds(0));
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

void CtlProcess::Signal(int sig) {
  if (pid_ > 0 && !waited_) ::kill(pid_, sig);
}

CtlResult CtlProcess::Wait(std::chrono::seconds limit) {
  CtlResult r;
  if (pid_ <= 0 || waited_) return r;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    if (std::chrono::steady_clock::now() >= deadline && !r.killed) {
      ::kill(pid_, SIGKILL);
      r.killed = true;
    }
    pollfd fds[2] = {{outOpen ? outFd_ : -1, POLLIN, 0}, {errOpen ? errFd_ : -1, POLLIN, 0}};
    if (::poll(fds, 2, 100) < 0 && errno != EINTR) break;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        (i == 0 ? outOpen : errOpen) = false;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  waited_ = true;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  return r;
}

CtlResult RunCtl(std::vector<std::string> args, std::vector<std::string> env,
                 std::chrono::seconds limit) {
  CtlProcess p(std::move(args), std::move(env));
  return p.Wait(limit);
}

namespace {

// The state letter and parent of /proc/PID/stat; false when it is gone.
bool ProcessStat(const std::string& pid, char& state, long& ppid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  // pid (comm) state ppid ...; comm may hold blanks and parentheses.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(line.substr(close + 1));
  rest >> state >> ppid;
  return static_cast<bool>(rest);
}

}  // namespace

std::vector<pid_t> ChildPids(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = ::opendir("/proc");
  if (!proc) return children;
  while (dirent* e = ::readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char state = 0;
    long ppid = 0;
    if (ProcessStat(e->d_name, state, ppid) && ppid == parent)
      children.push_back(static_cast<pid_t>(std::atol(e->d_name)));
  }
  ::closedir(proc);
  return children;
}

int CountChildren(pid_t parent) { return static_cast<int>(ChildPids(parent).size()); }

bool StillRunning(pid_t pid) {
  char state = 0;
  long ppid = 0;
  return ProcessStat(std::to_string(pid), state, ppid) && state != 'Z' && state != 'X';
}

}  // namespace ctltest
