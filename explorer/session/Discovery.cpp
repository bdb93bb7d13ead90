#include "explorer/session/Discovery.h"

#include "net/Interfaces.h"
#include "net/Ipv4.h"

void ApplyScope(CDeviceSocket& transport, const DiscoveryScope& scope) {
  transport.SetTargets(scope.targets);
  transport.SetBroadcastEnabled(scope.broadcast);
  transport.SetSweepRate(scope.sweepRate);
}

DeviceVia ViaOf(const CDeviceSocket::Origin& origin, const std::vector<DiscoveryTarget>& targets) {
  DeviceVia via;
  if (origin.target < 0 || static_cast<size_t>(origin.target) >= targets.size()) {
    via.text = origin.link.name;
    return via;
  }
  const DiscoveryTarget& t = targets[static_cast<size_t>(origin.target)];
  via.text = t.spec;
  via.throughTarget = true;
  via.alsoTo.push_back(t.kind == DiscoveryTarget::Kind::Subnet ? t.Destination() : origin.from);
  if (t.mask != 0) {
    via.mask = htonl(t.mask);
    via.network = htonl(t.first & t.mask);
  }
  return via;
}

bool AskAloneFirst(uint32_t addrNetOrder) {
  std::vector<net::Interface> interfaces;
  if (net::ListIpv4Interfaces(&interfaces) != 0) return false;
  for (const net::Interface& i : interfaces)
    if (i.address != 0 && ((i.address ^ addrNetOrder) & i.mask) == 0) return false;
  return true;
}

DeviceVia ViaAddress(uint32_t addrNetOrder) {
  DeviceVia via;
  via.text = net::FormatIpv4(addrNetOrder);
  via.throughTarget = true;
  via.alsoTo.push_back(addrNetOrder);
  return via;
}
