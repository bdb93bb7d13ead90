#include "explorer/protocol/Targets.h"

#include <arpa/inet.h>

#include <charconv>
#include <optional>

#include "net/Ipv4.h"

namespace {

std::optional<uint32_t> HostOrderAddress(const std::string& text) {
  uint32_t ip = 0;
  if (!net::ParseIpv4(text, &ip)) return std::nullopt;
  return ntohl(ip);
}

std::optional<int> PrefixLength(const std::string& text) {
  int n = -1;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, n);
  if (ec != std::errc() || p != end || text.empty() || n < 0 || n > 32) return std::nullopt;
  return n;
}

uint32_t MaskOf(int prefix) { return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix); }

std::string Trimmed(const std::string& text) {
  const size_t a = text.find_first_not_of(" \t\r");
  if (a == std::string::npos) return {};
  const size_t b = text.find_last_not_of(" \t\r");
  return text.substr(a, b - a + 1);
}

TargetParse Failed(std::string error) {
  TargetParse p;
  p.error = std::move(error);
  return p;
}

// "A.B.C.D/N" split into address and prefix; an error text otherwise.
TargetParse ParseSubnet(const std::string& text, int minPrefix, int maxPrefix, uint32_t* network,
                        int* prefix) {
  const size_t slash = text.find('/');
  const auto address = HostOrderAddress(text.substr(0, slash));
  if (!address) return Failed("\"" + text.substr(0, slash) + "\" is not an IPv4 address");
  const auto n = PrefixLength(text.substr(slash + 1));
  if (!n) return Failed("\"" + text.substr(slash + 1) + "\" is not a prefix length (0-32)");
  if (*n < minPrefix || *n > maxPrefix)
    return Failed("/" + std::to_string(*n) + " is out of range: use /" + std::to_string(minPrefix) + " to /" +
                  std::to_string(maxPrefix));
  *prefix = *n;
  *network = *address & MaskOf(*n);
  TargetParse ok;
  ok.ok = true;
  return ok;
}

}  // namespace

uint32_t DiscoveryTarget::Destination() const {
  if (kind == Kind::Subnet) return htonl(first | ~mask);
  return htonl(first);
}

bool DiscoveryTarget::Covers(uint32_t ipNetOrder) const {
  const uint32_t ip = ntohl(ipNetOrder);
  switch (kind) {
    case Kind::Host: return ip == first;
    case Kind::Subnet: return (ip & mask) == first;
    case Kind::Sweep: return ip >= first && ip <= last;
  }
  return false;
}

TargetParse ParseTarget(const std::string& raw) {
  const std::string text = Trimmed(raw);
  if (text.empty()) return Failed("no address given");
  TargetParse p;
  p.target.spec = text;
  if (text.find('/') == std::string::npos) {
    const auto address = HostOrderAddress(text);
    if (!address) return Failed("\"" + text + "\" is neither an IPv4 address nor A.B.C.D/N");
    if (*address == 0 || *address == 0xFFFFFFFFu)
      return Failed(text + " is not a device's address");
    p.target.kind = DiscoveryTarget::Kind::Host;
    p.target.first = p.target.last = *address;
    p.ok = true;
    return p;
  }
  uint32_t network = 0;
  int prefix = 0;
  // A /31 or /32 has no broadcast address of its own.
  TargetParse subnet = ParseSubnet(text, 1, 30, &network, &prefix);
  if (!subnet.ok) return subnet;
  p.target.kind = DiscoveryTarget::Kind::Subnet;
  p.target.first = network;
  p.target.mask = MaskOf(prefix);
  p.target.last = network | ~p.target.mask;
  p.ok = true;
  return p;
}

TargetParse ParseSweep(const std::string& raw) {
  const std::string text = Trimmed(raw);
  if (text.empty()) return Failed("no range given");
  TargetParse p;
  p.target.spec = text;
  p.target.kind = DiscoveryTarget::Kind::Sweep;
  const size_t dash = text.find('-');
  if (dash != std::string::npos) {
    const auto from = HostOrderAddress(Trimmed(text.substr(0, dash)));
    const auto to = HostOrderAddress(Trimmed(text.substr(dash + 1)));
    if (!from || !to) return Failed("\"" + text + "\" is not a range A.B.C.D-E.F.G.H");
    if (*to < *from) return Failed("the range " + text + " ends before it starts");
    if (*to - *from >= MAX_SWEEP_ADDRESSES)
      return Failed("the range " + text + " has more than " + std::to_string(MAX_SWEEP_ADDRESSES) + " addresses");
    p.target.first = *from;
    p.target.last = *to;
    p.ok = true;
    return p;
  }
  if (text.find('/') == std::string::npos) return Failed("\"" + text + "\" is not A.B.C.D/N nor A.B.C.D-E.F.G.H");
  uint32_t network = 0;
  int prefix = 0;
  TargetParse subnet = ParseSubnet(text, 16, 32, &network, &prefix);
  if (!subnet.ok) return subnet;
  const uint32_t mask = MaskOf(prefix);
  p.target.mask = mask;
  if (prefix >= 31) {
    p.target.first = network;
    p.target.last = network | ~mask;
  } else {
    // The network's own address and its broadcast are nobody's.
    p.target.first = network + 1;
    p.target.last = (network | ~mask) - 1;
  }
  p.ok = true;
  return p;
}

TargetList ParseTargetLines(const std::string& text) {
  TargetList list;
  size_t start = 0;
  int line = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++line;
    std::string content = text.substr(start, end - start);
    const size_t hash = content.find('#');
    if (hash != std::string::npos) content.resize(hash);
    content = Trimmed(content);
    if (!content.empty()) {
      TargetParse p = ParseTarget(content);
      if (p.ok) {
        list.targets.push_back(std::move(p.target));
      } else {
        list.errors.push_back("line " + std::to_string(line) + ": " + p.error);
      }
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  return list;
}

int TargetCovering(const std::vector<DiscoveryTarget>& targets, uint32_t ipNetOrder) {
  for (size_t i = 0; i < targets.size(); ++i)
    if (targets[i].Covers(ipNetOrder)) return static_cast<int>(i);
  return -1;
}
