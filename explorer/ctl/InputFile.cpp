#include "explorer/ctl/InputFile.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "explorer/ctl/Fd.h"
#include "explorer/ctl/Interrupt.h"

namespace ctl {
namespace {

constexpr int kSliceMs = 100;


}  // namespace

InputResult ReadInputFile(const std::string& path, size_t limit, std::string& text, int& error) {
  text.clear();
  error = 0;
  // Opening a FIFO for reading waits for a writer, beyond the reach of any
  // interrupt; without blocking it opens at once, and the poll below waits
  // for the writer instead (a FIFO nobody has written to yet is not
  // readable, and not at its end either).
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    error = errno;
    return InputResult::Failed;
  }
  char buf[64 * 1024];
  for (;;) {
    if (Interrupted()) return InputResult::Interrupted;
    pollfd p{fd.get(), POLLIN, 0};
    const int rc = ::poll(&p, 1, kSliceMs);
    if (rc < 0 && errno != EINTR) {
      error = errno;
      return InputResult::Failed;
    }
    if (rc <= 0) continue;
    // Readable, or its writer has gone: take what there is.
    for (;;) {
      const ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n == 0) return InputResult::Ok;
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == EINTR) {
          if (Interrupted()) return InputResult::Interrupted;
          continue;
        }
        error = errno;
        return InputResult::Failed;
      }
      if (static_cast<size_t>(n) > limit - text.size()) return InputResult::TooLarge;
      text.append(buf, static_cast<size_t>(n));
      if (Interrupted()) return InputResult::Interrupted;
    }
  }
}

}  // namespace ctl
