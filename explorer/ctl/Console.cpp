#include "explorer/ctl/Console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ctl {

Console& Console::Get() {
  static Console console;
  return console;
}

Console::Console() : progress_(::isatty(STDERR_FILENO) == 1) {}

void Console::Write(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed pipe: nobody reads any more
    done += static_cast<size_t>(n);
  }
}

void Console::Out(const std::string& text) {
  std::fflush(stdout);
  Write(STDOUT_FILENO, text);
}

void Console::Err(const std::string& line) {
  ClearStatus();
  Write(errFd_, line + "\n");
}

void Console::Status(const std::string& text) {
  if (!progress_) return;
  std::string line = text;
  struct winsize ws {};
  if (::ioctl(errFd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 && line.size() >= ws.ws_col)
    line.resize(ws.ws_col - 1);
  Write(errFd_, "\r\033[K" + line);
  statusShown_ = true;
}

void Console::ClearStatus() {
  if (!statusShown_) return;
  Write(errFd_, "\r\033[K");
  statusShown_ = false;
}

Console::QuietStderr::QuietStderr() {
  Console& c = Get();
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_ >= 0) {
    ::dup2(null, STDERR_FILENO);
    c.errFd_ = saved_;
  }
  ::close(null);
}

Console::QuietStderr::~QuietStderr() {
  if (saved_ < 0) return;
  Console& c = Get();
  ::dup2(saved_, STDERR_FILENO);
  c.errFd_ = STDERR_FILENO;
  ::close(saved_);
}

}  // namespace ctl
