#pragma once
// The small socket chores of the loopback peers that tests set up: an IPv4
// address as the socket calls take it, and a socket bound to one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace testsupport {

// `ip` (dotted; "0.0.0.0" for any) and `port`.
inline sockaddr_in Ipv4Address(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// A socket of `type` (SOCK_STREAM or SOCK_DGRAM, with any flags) bound to
// ip:port, with SO_REUSEADDR so that a port a test just let go can be taken
// again at once; -1 when either step fails.
inline int BoundSocket(int type, const char* ip, uint16_t port) {
  const int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in a = Ipv4Address(ip, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace testsupport
