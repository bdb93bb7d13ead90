#include "net/Interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace net {

int ListIpv4Interfaces(std::vector<Interface>* out) {
  out->clear();
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) return errno;
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, ::freeifaddrs);
  for (const ifaddrs* a = raw; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
    const unsigned index = ::if_nametoindex(a->ifa_name);
    if (index == 0) continue;  // gone meanwhile
    bool seen = false;
    for (const Interface& i : *out) seen = seen || i.index == index;
    if (seen) continue;
    Interface i;
    i.index = index;
    i.name = a->ifa_name;
    sockaddr_in sa;
    std::memcpy(&sa, a->ifa_addr, sizeof sa);
    i.address = sa.sin_addr.s_addr;
    if (a->ifa_netmask && a->ifa_netmask->sa_family == AF_INET) {
      std::memcpy(&sa, a->ifa_netmask, sizeof sa);
      i.mask = sa.sin_addr.s_addr;
    }
    i.up = (a->ifa_flags & IFF_UP) != 0;
    i.running = (a->ifa_flags & IFF_RUNNING) != 0;
    i.broadcast = (a->ifa_flags & IFF_BROADCAST) != 0;
    i.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
    out->push_back(std::move(i));
  }
  return 0;
}

unsigned InterfaceIndex(const std::string& name) { return ::if_nametoindex(name.c_str()); }

std::string InterfaceName(unsigned index) {
  char name[IF_NAMESIZE] = {};
  return ::if_indextoname(index, name) ? std::string(name) : std::string();
}

}  // namespace net
