#include "net/Interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace net {

namespace {

Interface* Find(std::vector<Interface>& list, unsigned index) {
  for (Interface& i : list)
    if (i.index == index) return &i;
  return nullptr;
}

void TakeFlags(Interface& i, unsigned flags) {
  i.up = (flags & IFF_UP) != 0;
  i.running = (flags & IFF_RUNNING) != 0;
  i.broadcast = (flags & IFF_BROADCAST) != 0;
  i.loopback = (flags & IFF_LOOPBACK) != 0;
}

// The link-layer entries (AF_PACKET) name every interface, addressed or
// not; the AF_INET entries give the addresses.
int Collect(std::vector<Interface>* out, bool withoutIpv4) {
  out->clear();
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) return errno;
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, ::freeifaddrs);
  for (const ifaddrs* a = raw; a; a = a->ifa_next) {
    if (!a->ifa_addr || !a->ifa_name) continue;
    const int family = a->ifa_addr->sa_family;
    const bool ipv4 = family == AF_INET;
    if (!ipv4 && !(withoutIpv4 && family == AF_PACKET)) continue;
    const unsigned index = ::if_nametoindex(a->ifa_name);
    if (index == 0) continue;  // gone meanwhile
    Interface* i = Find(*out, index);
    if (!i) {
      out->emplace_back();
      i = &out->back();
      i->index = index;
      i->name = a->ifa_name;
      TakeFlags(*i, a->ifa_flags);
    }
    if (!ipv4 || i->address != 0) continue;
    sockaddr_in sa;
    std::memcpy(&sa, a->ifa_addr, sizeof sa);
    i->address = sa.sin_addr.s_addr;
    if (a->ifa_netmask && a->ifa_netmask->sa_family == AF_INET) {
      std::memcpy(&sa, a->ifa_netmask, sizeof sa);
      i->mask = sa.sin_addr.s_addr;
    }
  }
  return 0;
}

}  // namespace

int ListIpv4Interfaces(std::vector<Interface>* out) { return Collect(out, false); }

int ListInterfaces(std::vector<Interface>* out) { return Collect(out, true); }

unsigned InterfaceIndex(const std::string& name) { return ::if_nametoindex(name.c_str()); }

std::string InterfaceName(unsigned index) {
  char name[IF_NAMESIZE] = {};
  return ::if_indextoname(index, name) ? std::string(name) : std::string();
}

}  // namespace net
