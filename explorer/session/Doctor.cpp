#include "explorer/session/Doctor.h"

#include <arpa/inet.h>

#include <bit>
#include <map>
#include <nlohmann/json.hpp>

#include "explorer/session/Discovery.h"
#include "net/Ipv4.h"

namespace {

const std::string kPort = std::to_string(DEVICE_PORT);

int PrefixOf(uint32_t maskNetOrder) { return std::popcount(maskNetOrder); }

std::string Subnet(uint32_t address, uint32_t mask) {
  return FormatIp(address & mask) + "/" + std::to_string(PrefixOf(mask));
}

bool SameLink(const CDeviceSocket::Link& link, const AdapterFacts& adapter) {
  if (link.index != 0 && adapter.index != 0) return link.index == adapter.index;
  return !link.name.empty() && link.name == adapter.name;
}

NotSentReason ReasonOf(const AdapterFacts& a, const DoctorFacts& f) {
  if (!a.up) return NotSentReason::Down;
  if (!a.carrier) return NotSentReason::NoCarrier;
  if (a.address == 0) return NotSentReason::NoAddress;
  if (!a.broadcast) return NotSentReason::CannotBroadcast;
  if (!f.broadcastEnabled) return NotSentReason::BroadcastsOff;
  return NotSentReason::SendFailed;
}

std::string ChainName(const FirewallFacts::Chain& c) { return c.family + " " + c.table + " " + c.chain; }

std::string ChainsText(const FirewallFacts& firewall) {
  std::string text;
  for (const FirewallFacts::Chain& c : firewall.chains) {
    if (!text.empty()) text += "; ";
    text += "chain " + ChainName(c) + ": " + std::to_string(c.rules) + (c.rules == 1 ? " rule" : " rules");
    if (c.dropPolicy) text += ", policy drop";
  }
  return text;
}

// The firewall as a cause: nothing when the ruleset was read and filters
// nothing that comes in.
bool FirewallCause(const FirewallFacts& firewall, DoctorCause* cause) {
  const std::string answers =
      "the answers, which come from UDP port " + kPort + " and match no connection this computer opened";
  cause->kind = CauseKind::Firewall;
  cause->remedy = FirewallRemedy(firewall);
  switch (firewall.kind) {
    case FirewallKind::None: return false;
    case FirewallKind::Nftables:
      cause->text = "The nftables ruleset filters what comes in (" + ChainsText(firewall) + ") and may drop " + answers + ".";
      return true;
    case FirewallKind::Firewalld: cause->text = "firewalld runs and may drop " + answers + "."; return true;
    case FirewallKind::Ufw: cause->text = "ufw is enabled and may drop " + answers + "."; return true;
    case FirewallKind::Unknown:
      cause->text = "A host firewall may drop " + answers + "; the ruleset could not be read (" + firewall.why + ").";
      return true;
  }
  return false;
}

std::vector<DoctorCause> AdapterCauses(const DoctorFacts& f, const AdapterFacts& a) {
  std::vector<DoctorCause> causes;
  DoctorCause firewall;
  if (FirewallCause(f.firewall, &firewall)) causes.push_back(firewall);
  // Loose filtering (2) drops only what no route leads back to, which a
  // default route rules out; strict drops every answer from another subnet.
  if (a.rpFilter == 1)
    causes.push_back({CauseKind::ReversePath,
                      "Reverse-path filtering is strict on " + a.name +
                          " (rp_filter 1): it drops answers from devices whose address is outside " +
                          Subnet(a.address, a.mask) + ", such as a new device's factory address.",
                      "sudo sysctl -w net.ipv4.conf." + a.name + ".rp_filter=2"});
  const std::string ask =
      f.frontEnd == DoctorFrontEnd::Window
          ? std::string("list A.B.C.D/N (the subnet's broadcast) or A.B.C.D (one address) under ") +
                OTHER_NETWORKS_MENU + " (a right click on the window), then Scan again."
          : "explorerctl scan --target A.B.C.D/N (the subnet's broadcast) or --target A.B.C.D (one address).";
  causes.push_back({CauseKind::Router, "The devices may be on another subnet behind a router, which no broadcast crosses.",
                    "Ask that subnet or a device's address: " + ask});
  return causes;
}

std::vector<DoctorCause> TargetCauses(const DoctorFacts& f, const DiscoveryTarget& t) {
  std::vector<DoctorCause> causes;
  DoctorCause firewall;
  if (FirewallCause(f.firewall, &firewall)) causes.push_back(firewall);
  if (t.kind == DiscoveryTarget::Kind::Subnet) {
    std::string remedy = f.frontEnd == DoctorFrontEnd::Window
                             ? std::string("Ask the devices' addresses instead, each A.B.C.D under ") + OTHER_NETWORKS_MENU
                             : "Ask the devices' addresses instead: --target A.B.C.D";
    // A sweep takes /16 and narrower.
    if (PrefixOf(t.mask) >= 16) remedy += ", or every address of the subnet: explorerctl scan --sweep " + t.spec;
    causes.push_back({CauseKind::DirectedBroadcast,
                      "The router may not forward a broadcast to " + Subnet(htonl(t.first), htonl(t.mask)) +
                          " (most routers refuse to).",
                      remedy + "."});
  }
  return causes;
}

DoctorAdapter AdapterOf(const DoctorFacts& f, const AdapterFacts& a) {
  DoctorAdapter out;
  out.name = a.name;
  out.up = a.up;
  out.carrier = a.carrier;
  out.broadcastCapable = a.broadcast;
  out.address = a.address;
  out.prefix = a.address != 0 ? PrefixOf(a.mask) : -1;
  out.rpFilter = a.rpFilter;
  bool sent = false;
  for (const CDeviceSocket::Link& link : f.sentLinks) sent = sent || SameLink(link, a);
  out.notSent = sent ? NotSentReason::None : ReasonOf(a, f);
  for (const AnswerFacts& answer : f.answers) out.answers += SameLink(answer.origin.link, a) ? 1 : 0;
  if (sent && out.answers == 0) out.causes = AdapterCauses(f, a);
  return out;
}

DoctorTarget TargetOf(const DoctorFacts& f, size_t i) {
  const DiscoveryTarget& t = f.targets[i];
  DoctorTarget out;
  out.spec = t.spec;
  out.kind = t.kind;
  out.requests = t.Count();
  if (i < f.targetSends.size()) {
    out.sent = f.targetSends[i].sent;
    out.sendError = f.targetSends[i].error;
  }
  for (const AnswerFacts& answer : f.answers) out.answers += answer.origin.target == static_cast<int>(i) ? 1 : 0;
  if (out.sent > 0 && out.answers == 0) out.causes = TargetCauses(f, t);
  return out;
}

// Answers to a link's broadcast from outside that link's subnet; an answer
// to a target came through a router and is outside by design.
std::vector<StrayDevice> Strays(const DoctorFacts& f) {
  std::vector<StrayDevice> strays;
  for (const AnswerFacts& answer : f.answers) {
    if (answer.origin.target >= 0) continue;
    for (const AdapterFacts& a : f.adapters) {
      if (!SameLink(answer.origin.link, a) || a.address == 0) continue;
      const uint32_t ip = answer.record.ip();
      if (((ip ^ a.address) & a.mask) == 0) break;
      StrayDevice s;
      s.mac = FormatMac(answer.record.mac());
      s.ip = ip;
      s.adapter = a.name;
      s.network = a.address & a.mask;
      s.prefix = PrefixOf(a.mask);
      s.remedy = "Give it an address with set-ip: explorerctl set-ip " + s.mac + " A.B.C.D --mask " + FormatIp(a.mask) +
                 " (a free address of " + Subnet(a.address, a.mask) + ").";
      strays.push_back(std::move(s));
      break;
    }
  }
  return strays;
}

std::vector<DuplicateAddress> Duplicates(const DoctorFacts& f) {
  std::map<uint32_t, size_t> at;  // address -> index into list
  std::vector<DuplicateAddress> list;
  for (const AnswerFacts& answer : f.answers) {
    const uint32_t ip = answer.record.ip();
    auto [it, added] = at.emplace(ip, list.size());
    if (added) list.push_back({ip, {}});
    list[it->second].macs.push_back(FormatMac(answer.record.mac()));
  }
  std::vector<DuplicateAddress> duplicates;
  for (DuplicateAddress& d : list)
    if (d.macs.size() > 1) duplicates.push_back(std::move(d));
  return duplicates;
}

const char* KindText(DiscoveryTarget::Kind kind) {
  switch (kind) {
    case DiscoveryTarget::Kind::Host: return "host";
    case DiscoveryTarget::Kind::Subnet: return "subnet";
    case DiscoveryTarget::Kind::Sweep: return "sweep";
  }
  return "";
}

const char* FirewallName(FirewallKind kind) {
  switch (kind) {
    case FirewallKind::None: return "none";
    case FirewallKind::Nftables: return "nftables";
    case FirewallKind::Firewalld: return "firewalld";
    case FirewallKind::Ufw: return "ufw";
    case FirewallKind::Unknown: return "unknown";
  }
  return "";
}

std::string Plural(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

// The remedy's lines, each indented under its cause.
void AppendCauses(std::string& out, const std::string& heading, const std::vector<DoctorCause>& causes) {
  out += "\n" + heading + " Likely causes, most likely first:\n";
  int n = 0;
  for (const DoctorCause& c : causes) {
    out += "  " + std::to_string(++n) + ". " + c.text + "\n";
    size_t from = 0;
    while (from <= c.remedy.size()) {
      const size_t end = c.remedy.find('\n', from);
      out += "     " + c.remedy.substr(from, end == std::string::npos ? std::string::npos : end - from) + "\n";
      if (end == std::string::npos) break;
      from = end + 1;
    }
  }
}

std::string AdapterLine(const DoctorAdapter& a) {
  std::string line = "  " + a.name + ": " + (a.up ? "up" : "down");
  if (a.up) line += a.carrier ? ", carrier" : ", no carrier";
  line += a.address != 0 ? ", " + FormatIp(a.address) + "/" + std::to_string(a.prefix) : ", no IPv4 address";
  if (a.broadcastSent())
    line += "; broadcast sent, " + Plural(a.answers, "device", "devices") + " answered";
  else
    line += std::string("; no broadcast (") + NotSentText(a.notSent) + ")" +
            (a.answers > 0 ? ", " + Plural(a.answers, "device", "devices") + " answered through it" : "");
  return line + "\n";
}

std::string TargetLine(const DoctorTarget& t) {
  std::string line = "  " + t.spec + " (";
  switch (t.kind) {
    case DiscoveryTarget::Kind::Host: line += "address"; break;
    case DiscoveryTarget::Kind::Subnet: line += "subnet broadcast"; break;
    case DiscoveryTarget::Kind::Sweep: line += "sweep of " + Plural(static_cast<int>(t.requests), "address", "addresses"); break;
  }
  line += "): ";
  if (t.kind == DiscoveryTarget::Kind::Sweep)
    line += std::to_string(t.sent) + " sent";
  else
    line += t.sent > 0 ? "sent" : "not sent";
  if (t.sendError != 0) line += " (" + net::SystemErrorText(t.sendError) + ")";
  return line + ", " + Plural(t.answers, "device", "devices") + " answered\n";
}

nlohmann::ordered_json CausesJson(const std::vector<DoctorCause>& causes) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const DoctorCause& c : causes) list.push_back({{"cause", CauseId(c.kind)}, {"text", c.text}, {"remedy", c.remedy}});
  return list;
}

template <class T>
nlohmann::ordered_json OrNull(bool known, const T& value) {
  return known ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

const char* NotSentText(NotSentReason reason) {
  switch (reason) {
    case NotSentReason::None: return "";
    case NotSentReason::Down: return "down";
    case NotSentReason::NoCarrier: return "no carrier";
    case NotSentReason::NoAddress: return "no IPv4 address";
    case NotSentReason::CannotBroadcast: return "cannot broadcast";
    case NotSentReason::BroadcastsOff: return "broadcasts off";
    case NotSentReason::SendFailed: return "send failed";
  }
  return "";
}

const char* CauseId(CauseKind kind) {
  switch (kind) {
    case CauseKind::Firewall: return "firewall";
    case CauseKind::ReversePath: return "rp_filter";
    case CauseKind::Router: return "router";
    case CauseKind::DirectedBroadcast: return "directed_broadcast";
  }
  return "";
}

std::string FirewallRemedy(const FirewallFacts& firewall) {
  const std::string nftRule = "udp sport " + kPort + " accept";
  switch (firewall.kind) {
    case FirewallKind::None: return "";
    case FirewallKind::Nftables: {
      // Inserted, not added: an earlier rule of the chain may drop them.
      std::string lines;
      for (const FirewallFacts::Chain& c : firewall.chains)
        lines += (lines.empty() ? "" : "\n") + std::string("sudo nft insert rule ") + ChainName(c) + " " + nftRule;
      return lines;
    }
    case FirewallKind::Firewalld:
      return "sudo firewall-cmd --permanent --add-source-port=" + kPort + "/udp && sudo firewall-cmd --reload";
    case FirewallKind::Ufw: return "sudo ufw allow proto udp from any port " + kPort;
    case FirewallKind::Unknown:
      return "Let UDP from source port " + kPort + " in, e.g. sudo nft insert rule inet filter input " + nftRule +
             " (README, Troubleshooting, has the rules for firewalld and ufw); as root, explorerctl doctor names the "
             "chains.";
  }
  return "";
}

DoctorReport BuildDoctorReport(const DoctorFacts& f) {
  DoctorReport r;
  r.devices = static_cast<int>(f.answers.size());
  r.broadcastEnabled = f.broadcastEnabled;
  r.sendFailed = f.sendFailed;
  r.broadcastRouted = f.broadcastEnabled && !f.sendFailed && f.sentLinks.empty();
  r.firewall = f.firewall;
  for (const AdapterFacts& a : f.adapters)
    if (!a.loopback) r.adapters.push_back(AdapterOf(f, a));
  for (size_t i = 0; i < f.targets.size(); ++i) r.targets.push_back(TargetOf(f, i));
  r.outsideSubnet = Strays(f);
  r.duplicates = Duplicates(f);
  return r;
}

std::string DoctorText(const DoctorReport& r) {
  std::string out = Plural(r.devices, "device", "devices") + " answered the discovery.\n";
  if (r.sendFailed) out += "Nothing could be sent: this computer has no usable network connection.\n";
  out += "\nAdapters:\n";
  if (r.adapters.empty()) out += "  none besides loopback\n";
  for (const DoctorAdapter& a : r.adapters) out += AdapterLine(a);
  if (r.broadcastRouted)
    out += "  No adapter could carry the broadcast: it left where the routing table sends it.\n";
  if (!r.targets.empty()) {
    out += "Targets:\n";
    for (const DoctorTarget& t : r.targets) out += TargetLine(t);
  }
  out += "Firewall: ";
  switch (r.firewall.kind) {
    case FirewallKind::None: out += "none filters what comes in\n"; break;
    case FirewallKind::Nftables: out += "nftables (" + ChainsText(r.firewall) + ")\n"; break;
    case FirewallKind::Firewalld: out += "firewalld runs\n"; break;
    case FirewallKind::Ufw: out += "ufw is enabled\n"; break;
    case FirewallKind::Unknown: out += "not known (" + r.firewall.why + ")\n"; break;
  }

  if (!r.outsideSubnet.empty()) {
    out += "\nOutside the subnet of their adapter (found by UDP, but the web page, configuration and upgrade "
           "will not reach them):\n";
    for (const StrayDevice& s : r.outsideSubnet)
      out += "  " + s.mac + " " + FormatIp(s.ip) + " through " + s.adapter + " (" + FormatIp(s.network) + "/" +
             std::to_string(s.prefix) + ")\n     " + s.remedy + "\n";
  }
  if (!r.duplicates.empty()) {
    out += "\nAddresses used by more than one device:\n";
    for (const DuplicateAddress& d : r.duplicates) {
      out += "  " + FormatIp(d.ip) + ":";
      for (size_t i = 0; i < d.macs.size(); ++i) out += (i ? ", " : " ") + d.macs[i];
      out += "\n";
    }
  }
  for (const DoctorAdapter& a : r.adapters)
    if (!a.causes.empty()) AppendCauses(out, "Nothing answered through " + a.name + ".", a.causes);
  for (const DoctorTarget& t : r.targets)
    if (!t.causes.empty()) AppendCauses(out, "Nothing answered " + t.spec + ".", t.causes);
  return out;
}

std::string DoctorJson(const DoctorReport& r) {
  using json = nlohmann::ordered_json;
  json o;
  o["devices"] = r.devices;
  o["broadcast"] = r.broadcastEnabled;
  o["broadcast_routed"] = r.broadcastRouted;
  o["send_failed"] = r.sendFailed;
  json adapters = json::array();
  for (const DoctorAdapter& a : r.adapters) {
    json j;
    j["name"] = a.name;
    j["up"] = a.up;
    j["carrier"] = a.carrier;
    j["ipv4"] = OrNull(a.address != 0, FormatIp(a.address));
    j["prefix"] = OrNull(a.address != 0, a.prefix);
    j["broadcast_capable"] = a.broadcastCapable;
    j["broadcast_sent"] = a.broadcastSent();
    j["not_sent_because"] = OrNull(!a.broadcastSent(), std::string(NotSentText(a.notSent)));
    j["answers"] = a.answers;
    j["rp_filter"] = OrNull(a.rpFilter >= 0, a.rpFilter);
    j["causes"] = CausesJson(a.causes);
    adapters.push_back(std::move(j));
  }
  o["adapters"] = std::move(adapters);
  json targets = json::array();
  for (const DoctorTarget& t : r.targets) {
    json j;
    j["target"] = t.spec;
    j["kind"] = KindText(t.kind);
    j["requests"] = t.requests;
    j["sent"] = t.sent;
    j["send_error"] = OrNull(t.sendError != 0, net::SystemErrorText(t.sendError));
    j["answers"] = t.answers;
    j["causes"] = CausesJson(t.causes);
    targets.push_back(std::move(j));
  }
  o["targets"] = std::move(targets);
  json strays = json::array();
  for (const StrayDevice& s : r.outsideSubnet)
    strays.push_back({{"mac", s.mac},
                      {"ip", FormatIp(s.ip)},
                      {"adapter", s.adapter},
                      {"subnet", FormatIp(s.network) + "/" + std::to_string(s.prefix)},
                      {"remedy", s.remedy}});
  o["outside_subnet"] = std::move(strays);
  json duplicates = json::array();
  for (const DuplicateAddress& d : r.duplicates) duplicates.push_back({{"ip", FormatIp(d.ip)}, {"macs", d.macs}});
  o["duplicates"] = std::move(duplicates);
  json firewall;
  firewall["name"] = FirewallName(r.firewall.kind);
  json chains = json::array();
  for (const FirewallFacts::Chain& c : r.firewall.chains)
    chains.push_back({{"family", c.family}, {"table", c.table}, {"chain", c.chain}, {"rules", c.rules},
                      {"drop_policy", c.dropPolicy}});
  firewall["chains"] = std::move(chains);
  firewall["why_unknown"] = OrNull(r.firewall.kind == FirewallKind::Unknown, r.firewall.why);
  firewall["remedy"] = OrNull(r.firewall.kind != FirewallKind::None, FirewallRemedy(r.firewall));
  o["firewall"] = std::move(firewall);
  // ASCII only, as the scan's JSON: interface names reach the reader escaped.
  return o.dump(2, ' ', true, json::error_handler_t::replace) + "\n";
}
