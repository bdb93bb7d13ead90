#include "explorer/session/Discovery.h"

#include "net/Interfaces.h"
#include "net/Ipv4.h"

std::string TargetListStatus(const TargetList& list) {
  if (!list.errors.empty()) {
    const size_t more = list.errors.size() - 1;
    return list.errors.front() + (more == 0 ? "" : " (and " + std::to_string(more) + " more)");
  }
  if (list.targets.empty()) return "Only the networks of this computer's own adapters are scanned.";
  const size_t n = list.targets.size();
  return "Scans also ask " + std::to_string(n) + (n == 1 ? " other network." : " other networks.");
}

DiscoveryScope SessionScope(const std::string& targetsText) {
  DiscoveryScope scope;
  scope.targets = ParseTargetLines(targetsText).targets;
  return scope;
}

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
