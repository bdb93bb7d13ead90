// The doctor's probes of this computer: all of them read, none changes
// anything, and none needs privileges but the nftables ruleset.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "explorer/session/Doctor.h"
#include "net/Interfaces.h"
#include "net/Nftables.h"
#include "net/Ipv4.h"

namespace {

// Every file read here is a line or a few; this bounds a file that is not.
constexpr std::streamsize MAX_READ_BYTES = 64 * 1024;
// A process table larger than this is not looked through to the end.
constexpr int MAX_PROCESSES = 1 << 20;

bool ReadSmallFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(static_cast<size_t>(MAX_READ_BYTES), '\0');
  in.read(text->data(), MAX_READ_BYTES);
  text->resize(static_cast<size_t>(in.gcount()));
  return !in.bad();
}

int ReadSmallInt(const std::string& path) {
  std::string text;
  if (!ReadSmallFile(path, &text)) return -1;
  const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  if (digits == 0 || digits > 3) return -1;
  return std::stoi(text.substr(0, digits));
}

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

}  // namespace

int ReadRpFilter(const std::string& name, const std::string& confDir) {
  // A name is one path component; nothing else is read under confDir.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return -1;
  const int own = ReadSmallInt(confDir + "/" + name + "/rp_filter");
  if (own < 0) return -1;
  // The kernel applies the larger of the interface's and "all".
  return std::max(own, ReadSmallInt(confDir + "/all/rp_filter"));
}

std::vector<AdapterFacts> ProbeAdapters() {
  std::vector<AdapterFacts> adapters;
  std::vector<net::Interface> interfaces;
  if (net::ListInterfaces(&interfaces) != 0) return adapters;
  for (const net::Interface& i : interfaces) {
    AdapterFacts a;
    a.index = i.index;
    a.name = i.name;
    a.up = i.up;
    a.carrier = i.running;
    a.broadcast = i.broadcast;
    a.loopback = i.loopback;
    a.address = i.address;
    a.mask = i.mask;
    a.rpFilter = ReadRpFilter(i.name);
    adapters.push_back(std::move(a));
  }
  return adapters;
}

bool ProcessRuns(const std::string& name, const std::string& procDir) {
  std::error_code ec;
  std::filesystem::directory_iterator it(procDir, ec);
  int seen = 0;
  for (; !ec && it != std::filesystem::directory_iterator() && seen < MAX_PROCESSES; it.increment(ec), ++seen) {
    const std::string pid = it->path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](unsigned char c) { return std::isdigit(c); }))
      continue;
    std::string comm;
    // A process that ended meanwhile has no comm any more.
    if (!ReadSmallFile(it->path().string() + "/comm", &comm)) continue;
    if (Trimmed(comm.substr(0, comm.find('\n'))) == name) return true;
  }
  return false;
}

bool UfwEnabled(const std::string& confFile) {
  std::string text;
  if (!ReadSmallFile(confFile, &text)) return false;
  size_t from = 0;
  while (from < text.size()) {
    const size_t end = std::min(text.find('\n', from), text.size());
    std::string line = Trimmed(text.substr(from, end - from));
    line.erase(std::remove(line.begin(), line.end(), '"'), line.end());
    if (line == "ENABLED=yes") return true;
    from = end + 1;
  }
  return false;
}

FirewallFacts ProbeFirewall() {
  FirewallFacts f;
  // The front-ends own the ruleset they make: a rule goes in through them,
  // or they would drop it at their next reload.
  if (ProcessRuns("firewalld")) {
    f.kind = FirewallKind::Firewalld;
    return f;
  }
  if (UfwEnabled()) {
    f.kind = FirewallKind::Ufw;
    return f;
  }
  std::vector<net::NftInputChain> chains;
  const int rc = net::ListNftInputChains(&chains);
  if (rc != 0) {
    f.kind = FirewallKind::Unknown;
    f.why = rc == EPERM ? "reading the nftables ruleset needs root privileges"
                        : "the nftables ruleset cannot be read: " + net::SystemErrorText(rc);
    return f;
  }
  for (const net::NftInputChain& c : chains)
    if (c.Filters()) f.chains.push_back({c.family, c.table, c.chain, c.rules, c.dropPolicy});
  f.kind = f.chains.empty() ? FirewallKind::None : FirewallKind::Nftables;
  return f;
}

DoctorFacts GatherDoctorFacts(const CDeviceSocket& transport, const std::vector<DeviceRecord>& records,
                              DoctorFrontEnd frontEnd) {
  DoctorFacts f;
  f.frontEnd = frontEnd;
  f.adapters = ProbeAdapters();
  f.broadcastEnabled = transport.BroadcastEnabled();
  f.sentLinks = transport.SentLinks();
  f.sendFailed = transport.SendFailed();
  f.targets = transport.Targets();
  f.targetSends = transport.TargetSends();
  const std::vector<CDeviceSocket::Origin>& origins = transport.RecordOrigins();
  for (size_t i = 0; i < records.size(); ++i)
    f.answers.push_back({records[i], i < origins.size() ? origins[i] : CDeviceSocket::Origin{}});
  f.firewall = ProbeFirewall();
  return f;
}
