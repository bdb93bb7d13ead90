#include "explorer/protocol/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

sockaddr_in MakeAddress(uint32_t addrNetOrder, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addrNetOrder;
  return sa;
}

}  // namespace

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Socket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int Socket::Open(int type) {
  Close();
  fd_ = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  return fd_ >= 0 ? 0 : errno;
}

int Socket::OpenUdp() { return Open(SOCK_DGRAM); }
int Socket::OpenTcp() { return Open(SOCK_STREAM); }

int Socket::Bind(uint32_t addrNetOrder, uint16_t port) {
  sockaddr_in sa = MakeAddress(addrNetOrder, port);
  return ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
}

int Socket::Listen(int backlog) { return ::listen(fd_, backlog) == 0 ? 0 : errno; }

int Socket::SetBroadcast(bool on) {
  int v = on ? 1 : 0;
  return ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &v, sizeof v) == 0 ? 0 : errno;
}

int Socket::SetReuseAddress(bool on) {
  int v = on ? 1 : 0;
  return ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0 ? 0 : errno;
}

long Socket::SetReceiveBuffer(int bytes) {
  // The forcing variant passes the system's rmem_max when we hold the
  // privilege; otherwise the ordinary request is capped there.
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
    return -errno;
  return ReceiveBufferSize();
}

long Socket::ReceiveBufferSize() const {
  int v = 0;
  socklen_t len = sizeof v;
  if (::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &v, &len) != 0) return -errno;
  return v;
}

uint16_t Socket::LocalPort() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int Socket::SendTo(uint32_t addrNetOrder, uint16_t port, const void* buf, size_t len,
                   uint32_t sourceNetOrder) {
  sockaddr_in sa = MakeAddress(addrNetOrder, port);
  iovec iov{const_cast<void*>(buf), len};
  msghdr msg{};
  msg.msg_name = &sa;
  msg.msg_namelen = sizeof sa;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (sourceNetOrder != 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = sourceNetOrder;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    ssize_t n;
    do {
      n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return 0;
    // Not one of our addresses: let the routing pick the sender instead.
    if (errno == EINVAL && msg.msg_control != nullptr) {
      msg.msg_control = nullptr;
      msg.msg_controllen = 0;
      continue;
    }
    return errno;
  }
  return EINVAL;
}

int Socket::EnablePacketInfo() {
  int v = 1;
  return ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &v, sizeof v) == 0 ? 0 : errno;
}

long Socket::ReceiveFrom(void* buf, size_t cap, uint32_t* fromNetOrder, uint16_t* fromPort,
                         uint32_t* toNetOrder) {
  sockaddr_in sa{};
  iovec iov{buf, cap};
  msghdr msg{};
  msg.msg_name = &sa;
  msg.msg_namelen = sizeof sa;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (toNetOrder) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    *toNetOrder = 0;
  }
  ssize_t n;
  do {
    n = ::recvmsg(fd_, &msg, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -errno;
  if (fromNetOrder) *fromNetOrder = sa.sin_addr.s_addr;
  if (fromPort) *fromPort = ntohs(sa.sin_port);
  if (toNetOrder) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        *toNetOrder = info.ipi_addr.s_addr;
      }
    }
  }
  // A datagram that did not fit is an error, as it is for a receive that
  // cannot take it whole; its head must never pass for a whole reply.
  if (msg.msg_flags & MSG_TRUNC) return -EMSGSIZE;
  return n;
}

int Socket::StartConnect(uint32_t addrNetOrder, uint16_t port) {
  sockaddr_in sa = MakeAddress(addrNetOrder, port);
  int rc;
  do {
    rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return 0;
  // An interrupted connect also goes on in the background.
  return errno == EALREADY ? EINPROGRESS : errno;
}

int Socket::FinishConnect() {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

int Socket::Poll(bool forWrite, int ms) const {
  // poll() would silently skip a negative descriptor and just sleep.
  if (fd_ < 0) return -EBADF;
  pollfd p{fd_, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  int rc = ::poll(&p, 1, ms);
  if (rc < 0) return errno == EINTR ? 0 : -errno;
  if (rc == 0) return 0;
  // Errors and hang-ups count as ready: the following call reports them.
  return 1;
}
