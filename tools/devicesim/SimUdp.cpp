#include "tools/devicesim/SimUdp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

int SimUdp::Open(uint16_t port) {
  SimFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  int one = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return errno;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return errno;
  fd_ = std::move(fd);
  return 0;
}

int SimUdp::Poll(bool forWrite, int ms) const {
  pollfd p{fd_.get(), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  const int rc = ::poll(&p, 1, ms);
  if (rc < 0) return errno == EINTR ? 0 : -errno;
  return rc > 0 ? 1 : 0;
}

long SimUdp::Receive(uint8_t* buf, size_t cap, uint32_t* fromNetOrder, uint16_t* fromPort) {
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n;
  do {
    n = ::recvfrom(fd_.get(), buf, cap, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -errno;
  // An over-long datagram is dropped whole; its head is no request.
  if (static_cast<size_t>(n) > cap) return -EMSGSIZE;
  *fromNetOrder = from.sin_addr.s_addr;
  *fromPort = ntohs(from.sin_port);
  return n;
}

int SimUdp::Send(uint32_t toNetOrder, uint16_t port, const uint8_t* data, size_t size,
                 uint32_t sourceNetOrder) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = toNetOrder;
  iovec iov{const_cast<uint8_t*>(data), size};
  msghdr msg{};
  msg.msg_name = &to;
  msg.msg_namelen = sizeof to;
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
  for (;;) {
    if (::sendmsg(fd_.get(), &msg, MSG_NOSIGNAL) >= 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EINVAL && msg.msg_control != nullptr) {
      msg.msg_control = nullptr;
      msg.msg_controllen = 0;
      continue;
    }
    return errno;
  }
}
