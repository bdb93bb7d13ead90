#pragma once
// Places a discovery is sent to besides the links' own broadcasts, for
// devices behind a router: a limited broadcast never crosses one, but a
// device answers the source of whatever request reached it, by unicast.
//
//   "A.B.C.D"          one request to that address
//   "A.B.C.D/N"        N <= 30: one request to the subnet's broadcast address
//                      (a directed broadcast, sent through the routing table)
// and, for a sweep (one request to every host address of a range):
//   "A.B.C.D/N"        every host of the subnet (N 16..32; /31 and /32 as
//                      RFC 3021 counts them: every address)
//   "A.B.C.D-E.F.G.H"  every address from the first to the last
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A sweep larger than a /16 would run for hours at any polite rate and is
// almost always a typing mistake.
constexpr uint32_t MAX_SWEEP_ADDRESSES = 65536;
constexpr unsigned DEFAULT_SWEEP_RATE = 1000;  // requests per second

struct DiscoveryTarget {
  enum class Kind { Host, Subnet, Sweep };
  Kind kind = Kind::Host;
  // Host order. Host: first == last, the address. Subnet: the network and
  // its mask; the request goes to its broadcast address. Sweep: every
  // address from first to last is asked.
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t mask = 0;
  std::string spec;  // as the user gave it, for "found through"

  // The addresses one request goes to (network order): one for Host and
  // Subnet, the whole range for Sweep.
  uint32_t Count() const { return kind == Kind::Sweep ? last - first + 1 : 1; }
  // For Host and Subnet, where the request goes (network order).
  uint32_t Destination() const;
  bool IsBroadcast() const { return kind == Kind::Subnet; }
  // Whether an answer from this address (network order) is one this target
  // asked for.
  bool Covers(uint32_t ipNetOrder) const;
};

struct TargetParse {
  bool ok = false;
  DiscoveryTarget target;
  std::string error;  // what is wrong, for the user, when !ok
};
// A --target SPEC ("A.B.C.D" or "A.B.C.D/N").
TargetParse ParseTarget(const std::string& text);
// A --sweep range ("A.B.C.D/N" or "A.B.C.D-E.F.G.H").
TargetParse ParseSweep(const std::string& text);

// A list of targets, one a line, '#' starting a comment; blank lines are
// skipped. Every bad line is named ("line 3: ...") so all can be mended at
// once.
struct TargetList {
  std::vector<DiscoveryTarget> targets;
  std::vector<std::string> errors;
};
TargetList ParseTargetLines(const std::string& text);

// Which of `targets` an answer from this address belongs to, or -1.
int TargetCovering(const std::vector<DiscoveryTarget>& targets, uint32_t ipNetOrder);
