#include "explorer/ctl/Console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/operations/OperationQueue.h"
#include "net/PasswordMask.h"

namespace ctl {

namespace {

constexpr char REPLACEMENT = '?';

// The length (2 to 4) of the well-formed UTF-8 sequence at text[i], with its
// code point; 0 when none starts there.
size_t Utf8Sequence(std::string_view text, size_t i, uint32_t& codePoint) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  uint32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, codePoint = lead & 0x1Fu, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, codePoint = lead & 0x0Fu, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, codePoint = lead & 0x07u, least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0u) != 0x80u) return 0;
    codePoint = (codePoint << 6) | (next & 0x3Fu);
  }
  if (codePoint < least || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    return 0;
  return length;
}

}  // namespace

std::string TerminalSafe(std::string_view text, LineBreaks breaks) {
  std::string safe;
  safe.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c >= 0x20 && c < 0x7F) || c == '\t') {
      safe += static_cast<char>(c);
      continue;
    }
    // A line break moves the cursor on and nothing else.
    if (breaks == LineBreaks::Keep &&
        (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))) {
      safe += static_cast<char>(c);
      continue;
    }
    if (c >= 0x80) {
      uint32_t codePoint = 0;
      if (const size_t length = Utf8Sequence(text, i, codePoint)) {
        if (codePoint > 0x9F)
          safe.append(text.substr(i, length));
        else
          safe += REPLACEMENT;
        i += length - 1;
        continue;
      }
      // Not UTF-8, but nothing a terminal acts on either.
      if (c >= 0xA0) {
        safe += static_cast<char>(c);
        continue;
      }
    }
    safe += REPLACEMENT;
  }
  return safe;
}

Console& Console::Get() {
  static Console console;
  return console;
}

Console::Console() {
  // A descriptor 0 to 2 that came closed is held by /dev/null: else the
  // next file or socket opened would take its number, and the results (or
  // the library's trace) would be written into it. Results meant for a
  // closed standard output are lost, and Finish says so.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) outClosed_ = true;
    const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
  progress_ = ::isatty(STDERR_FILENO) == 1;
}

int Console::Write(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor left non-blocking by whoever started us: wait until
      // it takes more, as a blocking one would, but not past Ctrl-C.
      if (Interrupted()) return EINTR;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 100) < 0 && errno != EINTR) return errno;
      continue;
    }
    return n < 0 ? errno : EIO;
  }
  return 0;
}

void Console::Out(const std::string& text) {
  if (outError_ != 0) return;  // the results are lost already; Finish says so
  wroteOut_ = true;
  outError_ = outClosed_ ? EBADF : Write(STDOUT_FILENO, TerminalSafe(text, LineBreaks::Keep));
}

int Console::Finish(int exitCode) {
  int error = outError_;
  // Where the data only reaches the disk later (a network file system), the
  // close is the last chance to hear that it did not.
  if (error == 0 && wroteOut_ && ::close(STDOUT_FILENO) != 0 && errno != EINTR) error = errno;
  if (error == 0) return exitCode;
  Err(std::string("explorerctl: cannot write standard output: ") + std::strerror(error));
  return exitCode == EXIT_OK ? EXIT_FAILED : exitCode;
}

void Console::Err(const std::string& line) { ErrText(line + "\n"); }

void Console::ErrText(const std::string& text) {
  const std::string safe = TerminalSafe(text, LineBreaks::Keep);
  std::lock_guard<std::mutex> lock(mutex_);
  // Nothing more can be done about a standard error that takes nothing: the
  // exit status still tells.
  if (statusShown_) Write(errFd_, "\r\033[K");
  statusShown_ = false;
  Write(errFd_, safe);
}

void Console::Status(const std::string& text) {
  if (!progress_) return;
  std::string line = TerminalSafe(text, LineBreaks::Replace);
  std::lock_guard<std::mutex> lock(mutex_);
  struct winsize ws {};
  if (::ioctl(errFd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 && line.size() >= ws.ws_col)
    line.resize(ws.ws_col - 1);
  Write(errFd_, "\r\033[K" + line);
  statusShown_ = true;
}

void Console::ClearStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!statusShown_) return;
  Write(errFd_, "\r\033[K");
  statusShown_ = false;
}

namespace {

constexpr size_t TRACE_PIECE = 64 * 1024;

std::string HidePassword(const std::string& line) {
  // The trace shows the login as "Sent: pass SECRET<EOL>".
  static const std::string kLogin = "Sent: " + std::string(net::FTP_PASS_COMMAND);
  const size_t at = line.find(kLogin);
  if (at == std::string::npos) return line;
  const size_t from = at + kLogin.size();
  return net::HidePasswordBetween(line, from, line.find("<EOL>", from));
}

}  // namespace

Console::LibraryTrace::LibraryTrace(bool show) {
  Console& c = Get();
  int sink = -1;
  int fds[2] = {-1, -1};
  if (show) {
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    sink = fds[1];
  } else {
    sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  if (sink < 0) return;
  saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_ >= 0) {
    std::lock_guard<std::mutex> lock(c.mutex_);
    ::dup2(sink, STDERR_FILENO);
    c.errFd_ = saved_;
  }
  ::close(sink);
  if (!show) return;
  if (saved_ < 0) {
    ::close(fds[0]);
    return;
  }
  // Only descriptor 2 now holds the pipe's write end: restoring it ends the
  // forwarder's input.
  SignalsBlockedForNewThreads blocked;
  try {
    forwarder_ = std::thread([this, readFd = fds[0]] { Forward(readFd); });
  } catch (...) {
    // Nobody reads the pipe: once it is full the library's writes must
    // fail (it ignores that) rather than stop the upgrade.
    ::fcntl(STDERR_FILENO, F_SETFL, O_NONBLOCK);
    unread_ = fds[0];
    try {
      std::string why;
      OperationFailure(std::current_exception(), why);
      c.Err("explorerctl: the FTP dialogue cannot be shown: " + why);
    } catch (...) {
    }
  }
}

void Console::LibraryTrace::Forward(int readFd) {
  char buf[4096];
  try {
    std::string pending;
    for (;;) {
      ssize_t n = ::read(readFd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        const std::string line = HidePassword(pending.substr(0, nl + 1));
        pending.erase(0, nl + 1);
        Get().ErrText(line);
      }
      // A line without end goes out in pieces (a login line is far shorter).
      if (pending.size() > TRACE_PIECE) {
        Get().ErrText(HidePassword(pending));
        pending.clear();
      }
      if (n <= 0) break;
    }
    if (!pending.empty()) Get().ErrText(HidePassword(pending));
  } catch (...) {
    // No memory to pass the trace on: it is read and dropped, so that the
    // library never waits on a full pipe.
    for (;;) {
      const ssize_t n = ::read(readFd, buf, sizeof buf);
      if (n > 0 || (n < 0 && errno == EINTR)) continue;
      break;
    }
  }
  ::close(readFd);
}

Console::LibraryTrace::~LibraryTrace() {
  if (saved_ < 0) return;
  Console& c = Get();
  ::dup2(saved_, STDERR_FILENO);
  if (forwarder_.joinable()) forwarder_.join();
  if (unread_ >= 0) ::close(unread_);
  std::lock_guard<std::mutex> lock(c.mutex_);
  c.errFd_ = STDERR_FILENO;
  ::close(saved_);
}

}  // namespace ctl
