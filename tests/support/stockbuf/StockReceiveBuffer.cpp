// Preloaded (LD_PRELOAD) into a program to give it the receive-buffer
// limits of a stock Linux installation, where net.core.rmem_max is 212992:
// an ordinary SO_RCVBUF request is capped there (the kernel then doubles
// it, as it does for any request), and SO_RCVBUFFORCE is refused as it is
// without CAP_NET_ADMIN. A test machine's raised rmem_max cannot be lowered
// inside a network namespace, so this is how the stock limit is had there.
// Every other call goes to the C library unchanged.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kStockReceiveMax = 212992;

using SetSockOpt = int (*)(int, int, int, const void*, socklen_t);

SetSockOpt Next() {
  // Looked up on every call: cheap next to a system call, and free of any
  // initialisation order with the program's own constructors.
  void* symbol = ::dlsym(RTLD_NEXT, "setsockopt");
  SetSockOpt next = nullptr;
  static_assert(sizeof next == sizeof symbol);
  std::memcpy(&next, &symbol, sizeof next);
  return next;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int setsockopt(int fd, int level, int name, const void* value,
                                                                  socklen_t length) {
  const SetSockOpt next = Next();
  if (!next) {
    errno = ENOSYS;
    return -1;
  }
  if (level == SOL_SOCKET && name == SO_RCVBUFFORCE) {
    errno = EPERM;
    return -1;
  }
  if (level == SOL_SOCKET && name == SO_RCVBUF && value && length >= sizeof(int)) {
    int requested = 0;
    std::memcpy(&requested, value, sizeof requested);
    if (requested > kStockReceiveMax) {
      const int capped = kStockReceiveMax;
      return next(fd, level, name, &capped, sizeof capped);
    }
  }
  return next(fd, level, name, value, length);
}
