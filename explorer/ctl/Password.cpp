#include "explorer/ctl/Password.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "explorer/ctl/Fd.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/res/Strings.h"
#include "explorer/session/Passwords.h"

namespace ctl {
namespace {

constexpr size_t kMaxPassword = 4096;


// Echo stays off only while the password is typed, whatever way the prompt ends.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

std::string FirstLine(std::string text) {
  const size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.erase(end);
  return text;
}

PasswordResult ReadFile(const std::string& path, std::string& password, std::string& error) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "cannot read the password file " + path +
            (fd.get() < 0 ? std::string(": ") + std::strerror(errno) : ": not a regular file");
    return PasswordResult::Usage;
  }
  std::string text;
  char buf[512];
  while (text.size() < kMaxPassword) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  password = FirstLine(text);
  return PasswordResult::Ok;
}

PasswordResult Prompt(std::string& password, std::string& error) {
  Fd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (tty.get() < 0) {
    error = "--ask-password needs a terminal; use --password-file or " + std::string(PASSWORD_ENV);
    return PasswordResult::Usage;
  }
  const std::string prompt = LoadBrandString(IDS_ADMIN_USER) + " password: ";
  if (::write(tty.get(), prompt.data(), prompt.size()) < 0) {
    error = "cannot write to the terminal";
    return PasswordResult::Usage;
  }
  EchoOff echoOff(tty.get());
  std::string typed;
  for (;;) {
    // Short polls, so Ctrl-C ends the prompt instead of waiting for Enter.
    if (Interrupted()) return PasswordResult::Interrupted;
    pollfd p{tty.get(), POLLIN, 0};
    int rc = ::poll(&p, 1, 100);
    if (rc < 0 && errno != EINTR) break;
    if (rc <= 0) continue;
    char c = 0;
    ssize_t n = ::read(tty.get(), &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n' || c == '\r') break;
    if (typed.size() < kMaxPassword) typed += c;
  }
  password = typed;
  return PasswordResult::Ok;
}

}  // namespace

PasswordResult ResolvePassword(const PasswordSource& source, std::string& password,
                               std::string& error) {
  if (!source.file.empty()) return ReadFile(source.file, password, error);
  if (source.ask) return Prompt(password, error);
  const char* env = std::getenv(PASSWORD_ENV);
  password = SessionPassword(env ? std::optional<std::string>(FirstLine(env)) : std::nullopt);
  return PasswordResult::Ok;
}

std::string WithPasswordHint(const std::string& text) {
  const std::string hint = std::string("Give the password with --password-file FILE, ") +
                           "--ask-password or the environment variable " + PASSWORD_ENV + ".";
  if (text.empty()) return hint;
  return text + (text.back() == '.' ? " " : ". ") + hint;
}

}  // namespace ctl
