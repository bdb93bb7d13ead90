#include "explorer/app/ProcessLauncher.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

extern char** environ;

namespace {

std::mutex g_pidsLock;        // guards g_pids
std::vector<pid_t> g_pids;    // started programs not yet collected

// Only the pids we started are waited for, so children that other parts
// of the process own (and wait for themselves) are never stolen.
void ReapLocked() {
  g_pids.erase(std::remove_if(g_pids.begin(), g_pids.end(),
                              [](pid_t pid) {
                                int status = 0;
                                const pid_t r = waitpid(pid, &status, WNOHANG);
                                return r == pid || (r < 0 && errno == ECHILD);
                              }),
               g_pids.end());
}

// Collects what is left when the program ends.
struct ReaperAtExit {
  ~ReaperAtExit() {
    std::lock_guard<std::mutex> guard(g_pidsLock);
    ReapLocked();
  }
} g_reaperAtExit;

}  // namespace

LaunchResult StartProgram(const std::string& program, const std::vector<std::string>& argv) {
  ReapStartedPrograms();

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The started client must not die with us on a terminal hang-up or a
  // Ctrl+C aimed at the explorer, nor inherit signals we block.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);

  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, program.c_str(), nullptr, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return LaunchResult{-1, rc};

  std::lock_guard<std::mutex> guard(g_pidsLock);
  g_pids.push_back(pid);
  return LaunchResult{};
}

void ReapStartedPrograms() {
  std::lock_guard<std::mutex> guard(g_pidsLock);
  ReapLocked();
}

int UnreapedStartedPrograms() {
  std::lock_guard<std::mutex> guard(g_pidsLock);
  return static_cast<int>(g_pids.size());
}
