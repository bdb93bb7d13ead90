#pragma once
// Where a scan looks for devices, and what it learnt about the way each
// answer came. The window keeps one scope for its session (the Part keeps
// nothing on disk); explorerctl builds one from its options. Both hand it
// to the transport the same way, and read "via" the same way.
#include <cstdint>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceSocket.h"
#include "explorer/protocol/Targets.h"

struct DiscoveryScope {
  // Hosts, subnets (directed broadcasts) and sweeps, in the order given.
  std::vector<DiscoveryTarget> targets;
  bool broadcast = true;  // the links' own broadcasts as well
  unsigned sweepRate = DEFAULT_SWEEP_RATE;
  bool Empty() const { return targets.empty() && broadcast; }
};

// The window's dialog for the session's targets.
constexpr const char* OTHER_NETWORKS_MENU = "Other networks...";
constexpr const char* OTHER_NETWORKS_TITLE = "Other networks";
constexpr const char* OTHER_NETWORKS_INTRO =
    "Networks behind a router, asked by every Scan and Set IP address until the program ends, one a line: "
    "A.B.C.D asks that device alone, A.B.C.D/N (N up to 30) the broadcast address of that subnet. "
    "# starts a comment.";
// What the dialog says of a list: its first bad line, or what will be
// asked.
std::string TargetListStatus(const TargetList& list);
// The scope of the window's session: its own links' broadcasts and the
// targets of the dialog's text (bad lines left out: the dialog refuses them).
DiscoveryScope SessionScope(const std::string& targetsText);

// Makes every following Discover of `transport` ask what the scope says.
void ApplyScope(CDeviceSocket& transport, const DiscoveryScope& scope);

// How a device was reached: the link's name for an answer to a broadcast,
// the target as the user wrote it for an answer to one of the targets.
struct DeviceVia {
  std::string text;          // "" when not known
  bool throughTarget = false;
  // Where a request meant for this device alone should also go so that it
  // crosses the router in between (network order): the device's address
  // for a host or a sweep, the subnet's broadcast for a subnet. Empty for
  // a device on one of this computer's links.
  std::vector<uint32_t> alsoTo;
  // The subnet of the target that reached it, when the target has one
  // (network order; 0/0 otherwise, and for a link's broadcast).
  uint32_t network = 0;
  uint32_t mask = 0;
};
DeviceVia ViaOf(const CDeviceSocket::Origin& origin, const std::vector<DiscoveryTarget>& targets);
// Whether a DEVICE given by this address (network order) is asked alone
// first, before any broadcast: only when it is on none of this computer's
// subnets, so behind a router, where no broadcast reaches and none could
// show a second device with the same address. On a subnet of its own the
// broadcast is asked, because a unicast reaches just one of two devices
// that share an address, and changing the wrong one is the harm a
// duplicate warning exists to prevent.
bool AskAloneFirst(uint32_t addrNetOrder);
// A device that answered when asked at its own address.
DeviceVia ViaAddress(uint32_t addrNetOrder);
