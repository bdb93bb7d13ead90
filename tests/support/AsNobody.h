#pragma once
// Runs a piece of work in a child process that has given up root: uid and
// gid 65534, no supplementary groups, hence no capabilities. What the work
// returns comes back to the parent through a pipe, so the work should be
// self-contained (the child ends with _exit, nothing of it is flushed).
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace testsupport {

// The bytes `work` returned in the child; empty when the child could not be
// started, could not give up its rights, or returned nothing.
inline std::string RunAsNobody(const std::function<std::string()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0)
      ::_exit(2);
    const std::string out = work();
    const bool whole = ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    ::_exit(whole ? 0 : 3);
  }
  ::close(fds[1]);
  std::string out;
  char buf[512];
  for (ssize_t n; child > 0 && (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  return child > 0 ? out : std::string();
}

}  // namespace testsupport
