#include "support/PrivateMount.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace testsupport {
namespace {

constexpr const char* kDirVar = "QUILL_PRIVATE_MOUNT_DIR";
constexpr const char* kParentNsVar = "QUILL_PRIVATE_MOUNT_PARENT_NS";
constexpr auto kChildLimit = std::chrono::seconds(120);

std::string MountNamespace() {
  char buf[64] = {};
  const ssize_t n = ::readlink("/proc/self/ns/mnt", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The child's half: a tmpfs on the folder, made sure of before anything
// is made in it.
MountSide MountInChild(const char* folder, std::string* dir, std::string* why) {
  const char* parentNs = std::getenv(kParentNsVar);
  const std::string ours = MountNamespace();
  if (!parentNs || ours.empty() || ours == parentNs) {
    *why = "the child shares its parent's mount namespace";
    return MountSide::Unavailable;
  }
  if (::mount("tmpfs", folder, "tmpfs", MS_NOSUID, "size=64m,mode=0700") != 0) {
    *why = std::string("mounting a tmpfs failed: ") + std::strerror(errno);
    return MountSide::Unavailable;
  }
  struct statfs fs {};
  if (::statfs(folder, &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
    *why = "the folder is not on the tmpfs just mounted";
    return MountSide::Unavailable;
  }
  *dir = folder;
  return MountSide::Child;
}

}  // namespace

MountSide EnterPrivateMount(std::string* dir, std::string* why) {
  if (const char* folder = std::getenv(kDirVar)) return MountInChild(folder, dir, why);

  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  char pattern[] = "/tmp/quill-mount-XXXXXX";
  if (!::mkdtemp(pattern)) {
    *why = std::string("mkdtemp: ") + std::strerror(errno);
    return MountSide::Unavailable;
  }
  const std::string folder = pattern;

  // Everything the child needs is made before the fork: between fork and
  // exec only plain system calls run.
  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e) environment.emplace_back(*e);
  environment.push_back(std::string(kDirVar) + "=" + folder);
  environment.push_back(std::string(kParentNsVar) + "=" + MountNamespace());
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe", brief = "--gtest_color=no";
  std::string filterArg = filter;
  char* argv[] = {self.data(), filterArg.data(), brief.data(), nullptr};

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::rmdir(folder.c_str());
    *why = std::string("pipe: ") + std::strerror(errno);
    return MountSide::Unavailable;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Mounts made from here on stay in the child's own namespace.
    if (::unshare(CLONE_NEWNS) != 0) ::_exit(77);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::execve(self.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string output;
  bool killed = false;
  if (pid > 0) {
    const auto deadline = std::chrono::steady_clock::now() + kChildLimit;
    for (;;) {
      if (!killed && std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid, SIGKILL);
        killed = true;
      }
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, 100) < 0 && errno != EINTR) break;
      if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n > 0) output.append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR) break;
    }
  }
  ::close(out[0]);
  int status = 0;
  if (pid > 0)
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  ::rmdir(folder.c_str());
  if (pid < 0) {
    *why = std::string("fork: ") + std::strerror(errno);
    return MountSide::Unavailable;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
    *why = "cannot make a mount namespace (needs root)";
    return MountSide::Unavailable;
  }
  if (output.find("[  SKIPPED ] 1 test") != std::string::npos &&
      output.find("[  FAILED  ]") == std::string::npos) {
    const size_t at = output.find("Skipped");
    *why = at == std::string::npos ? output : output.substr(at);
    return MountSide::Unavailable;
  }
  const bool passed = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !killed &&
                      output.find("[  PASSED  ] 1 test") != std::string::npos;
  if (!passed)
    ADD_FAILURE() << "in the private mount namespace" << (killed ? " (killed after the limit)" : "")
                  << ":\n"
                  << output;
  return MountSide::ParentDone;
}

}  // namespace testsupport
