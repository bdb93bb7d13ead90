#include "Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace quillbox {

std::string SystemErrorText(int err) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

std::string SocketErrorMessage(int err) {
  char head[64];
  std::snprintf(head, sizeof head, "Socket Error # %d\r\n", err);
  return head + SystemErrorText(err);
}

bool ParseIpv4(const std::string& text, in_addr* out) {
  return inet_pton(AF_INET, text.c_str(), out) == 1;
}

int ResolveIpv4(const std::string& host, in_addr* out) {
  if (ParseIpv4(host, out)) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0 || !list) {
    if (list) freeaddrinfo(list);
    return rc == EAI_SYSTEM && errno != 0 ? errno : ENXIO;
  }
  *out = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
  freeaddrinfo(list);
  return 0;
}

std::string FormatIpv4(in_addr addr) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr, text, sizeof text);
  return text;
}

sockaddr_in MakeAddress(in_addr addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}

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

int Socket::Open(int domain, int type, int protocol) {
  Close();
  int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return errno;
  fd_ = fd;
  return 0;
}

int Socket::SetOption(int level, int name, int value) {
  return ::setsockopt(fd_, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

int Socket::SetNonBlocking(bool on) {
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0) return errno;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd_, F_SETFL, flags) == 0 ? 0 : errno;
}

int Socket::Bind(const sockaddr_in& addr) {
  return ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
}

int Socket::Listen(int backlog) { return ::listen(fd_, backlog) == 0 ? 0 : errno; }

int Socket::Accept(Socket* out, sockaddr_in* peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd;
  do {
    fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  *out = Socket(fd);
  if (peer) *peer = sa;
  return 0;
}

int Socket::StartConnect(const sockaddr_in& addr) {
  if (int err = SetNonBlocking(true)) return err;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 0;
  return errno == EINTR ? EINPROGRESS : errno;
}

int Socket::FinishConnect() {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

int Socket::Send(const void* data, size_t size, size_t* sent) {
  ssize_t n;
  do {
    n = ::send(fd_, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *sent = 0;
    return errno;
  }
  *sent = static_cast<size_t>(n);
  return 0;
}

int Socket::SendAll(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    size_t sent = 0;
    int err = Send(p, size, &sent);
    if (err == EAGAIN || err == EWOULDBLOCK) {
      short revents = 0;
      if (int perr = Poll(POLLOUT, -1, &revents)) return perr;
      continue;
    }
    if (err) return err;
    p += sent;
    size -= sent;
  }
  return 0;
}

int Socket::Recv(void* buffer, size_t size, size_t* received) {
  ssize_t n;
  do {
    n = ::recv(fd_, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *received = 0;
    return errno;
  }
  *received = static_cast<size_t>(n);
  return 0;
}

int Socket::SendTo(const void* data, size_t size, const sockaddr_in& to) {
  ssize_t n;
  do {
    n = ::sendto(fd_, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? errno : 0;
}

int Socket::RecvFrom(void* buffer, size_t size, size_t* received, sockaddr_in* from) {
  return RecvMsg(buffer, size, received, from, nullptr, nullptr);
}

int Socket::RecvMsg(void* buffer, size_t size, size_t* received, sockaddr_in* from, void* control,
                    size_t* controlSize, int flags) {
  sockaddr_in sa{};
  iovec iov{buffer, size};
  msghdr msg{};
  msg.msg_name = &sa;
  msg.msg_namelen = sizeof sa;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (control && controlSize) {
    msg.msg_control = control;
    msg.msg_controllen = *controlSize;
  }
  ssize_t n;
  do {
    n = ::recvmsg(fd_, &msg, flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *received = 0;
    return errno;
  }
  *received = static_cast<size_t>(n);
  if (from) *from = sa;
  if (controlSize) *controlSize = control ? msg.msg_controllen : 0;
  return 0;
}

int Socket::Poll(short events, int timeoutMs, short* revents) const {
  pollfd p{fd_, events, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    *revents = 0;
    return errno;
  }
  *revents = rc == 0 ? 0 : p.revents;
  return 0;
}

int Socket::WaitReadable(int timeoutMs, bool* ready) const {
  short revents = 0;
  int err = Poll(POLLIN, timeoutMs, &revents);
  // Errors and hang-ups count as readable: the following read reports them.
  *ready = revents != 0;
  return err;
}

int Socket::WaitWritable(int timeoutMs, bool* ready) const {
  short revents = 0;
  int err = Poll(POLLOUT, timeoutMs, &revents);
  *ready = revents != 0;
  return err;
}

int Socket::LocalAddress(sockaddr_in* out) const {
  socklen_t len = sizeof *out;
  return ::getsockname(fd_, reinterpret_cast<sockaddr*>(out), &len) == 0 ? 0 : errno;
}

int Socket::PeerAddress(sockaddr_in* out) const {
  socklen_t len = sizeof *out;
  return ::getpeername(fd_, reinterpret_cast<sockaddr*>(out), &len) == 0 ? 0 : errno;
}

int Socket::Shutdown() {
  if (fd_ < 0) return 0;
  if (::shutdown(fd_, SHUT_RDWR) == 0 || errno == ENOTCONN) return 0;
  return errno;
}

}  // namespace quillbox
