#include "net/Ipv4.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace net {

std::string FormatIpv4(uint32_t ipNetOrder) {
  uint8_t b[4];
  std::memcpy(b, &ipNetOrder, 4);
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return text;
}

bool ParseIpv4(const std::string& text, uint32_t* ipNetOrder) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
  *ipNetOrder = address.s_addr;
  return true;
}

int ResolveIpv4(const std::string& host, uint32_t* ipNetOrder) {
  if (ParseIpv4(host, ipNetOrder)) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  errno = 0;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0 || !list) {
    const int err = rc == EAI_SYSTEM && errno != 0 ? errno : ENXIO;
    if (list) ::freeaddrinfo(list);
    return err;
  }
  *ipNetOrder = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(list);
  return 0;
}

sockaddr_in ToSockaddr(const Endpoint& endpoint) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(endpoint.port);
  sa.sin_addr.s_addr = endpoint.ip;
  return sa;
}

Endpoint FromSockaddr(const sockaddr_in& address) {
  return {address.sin_addr.s_addr, ntohs(address.sin_port)};
}

std::string SystemErrorText(int err) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = ::strerror_r(err, buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

}  // namespace net
