#pragma once
// IPv4 addresses as the rest of the code base keeps them: a 32-bit value in
// network byte order, beside a port in host order.
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace net {

struct Endpoint {
  uint32_t ip = 0;    // network byte order; 0 is any address
  uint16_t port = 0;  // host byte order; 0 lets the system choose
  bool operator==(const Endpoint&) const = default;
};

// "%d.%d.%d.%d".
std::string FormatIpv4(uint32_t ipNetOrder);
inline std::string FormatIpv4(in_addr address) { return FormatIpv4(address.s_addr); }

// Dotted decimal only; false when the text is not an address.
bool ParseIpv4(const std::string& text, uint32_t* ipNetOrder);
// Dotted decimal, or a host name looked up for IPv4. 0 or an errno value; a
// name that does not resolve gives ENXIO ("No such device or address").
int ResolveIpv4(const std::string& host, uint32_t* ipNetOrder);

sockaddr_in ToSockaddr(const Endpoint& endpoint);
Endpoint FromSockaddr(const sockaddr_in& address);

// The system's description of an errno value.
std::string SystemErrorText(int err);

}  // namespace net
