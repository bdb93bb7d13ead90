#include "explorer/session/Commissioning.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <unordered_map>

#include "explorer/protocol/SetNetwork.h"
#include "explorer/session/DeviceLookup.h"
#include "net/Ipv4.h"

namespace {

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t a = text.find_first_not_of(" \t");
  const size_t b = text.find_last_not_of(" \t");
  return a == std::string::npos ? std::string() : text.substr(a, b - a + 1);
}

std::string Trimmed(const std::string& text) {
  const size_t a = text.find_first_not_of(" \t");
  const size_t b = text.find_last_not_of(" \t");
  return a == std::string::npos ? std::string() : text.substr(a, b - a + 1);
}

std::string Line(size_t n) { return "row " + std::to_string(n) + ": "; }

}  // namespace

PlanParse ParsePlan(const std::vector<std::vector<std::string>>& records) {
  PlanParse plan;
  if (records.empty()) {
    plan.errors.push_back("the plan is empty: it needs a header mac,ip,mask and a row per device");
    return plan;
  }
  std::optional<size_t> macAt, ipAt, maskAt;
  for (size_t i = 0; i < records[0].size(); ++i) {
    const std::string name = Lowered(records[0][i]);
    if (name == "mac" && !macAt) macAt = i;
    if (name == "ip" && !ipAt) ipAt = i;
    if (name == "mask" && !maskAt) maskAt = i;
  }
  if (!macAt || !ipAt || !maskAt) {
    plan.errors.push_back(Line(1) + "the header must name the columns mac, ip and mask");
    return plan;
  }
  const size_t need = std::max({*macAt, *ipAt, *maskAt}) + 1;
  for (size_t r = 1; r < records.size(); ++r) {
    const std::vector<std::string>& f = records[r];
    const size_t line = r + 1;
    if (f.size() < need) {
      plan.errors.push_back(Line(line) + "needs a mac, an ip and a mask");
      continue;
    }
    PlanRow row;
    row.line = line;
    const std::string mac = Trimmed(f[*macAt]), ip = Trimmed(f[*ipAt]), mask = Trimmed(f[*maskAt]);
    const auto parsedMac = ParseMac(mac);
    std::string problem;
    if (!parsedMac) problem = "\"" + mac + "\" is not an Ethernet address";
    else row.mac = *parsedMac;
    if (problem.empty() && !net::ParseIpv4(ip, &row.ip)) problem = "\"" + ip + "\" is not an IPv4 address";
    if (problem.empty() && (row.ip == 0 || row.ip == BROADCAST_ADDRESS))
      problem = ip + " is no address for a device";
    if (problem.empty() && !net::ParseIpv4(mask, &row.mask)) problem = "\"" + mask + "\" is not a network mask";
    if (problem.empty() && !IsValidNetworkMask(row.mask)) problem = InvalidMaskText(row.mask);
    if (!problem.empty()) {
      plan.errors.push_back(Line(line) + problem);
      continue;
    }
    plan.rows.push_back(row);
  }
  if (plan.rows.empty() && plan.errors.empty()) plan.errors.push_back("the plan has a header but no device");
  return plan;
}

PlanCheck CheckPlan(const std::vector<PlanRow>& rows, const std::vector<HeardDevice>& heard) {
  PlanCheck check;
  std::unordered_map<uint64_t, size_t> deviceByMac;
  for (size_t i = 0; i < heard.size(); ++i) deviceByMac.emplace(MacKey(heard[i].record.mac()), i);
  std::map<uint32_t, size_t> planned;  // new address -> line first planning it
  std::unordered_map<uint64_t, size_t> macLine;
  for (const PlanRow& row : rows) {
    const std::string mac = FormatMac(row.mac.data());
    const std::string ip = FormatIp(row.ip);
    const auto twice = macLine.emplace(MacKey(row.mac.data()), row.line);
    if (!twice.second)
      check.errors.push_back(Line(row.line) + mac + " is planned on row " + std::to_string(twice.first->second) +
                             " already");
    const auto taken = planned.emplace(row.ip, row.line);
    if (!taken.second)
      check.errors.push_back(Line(row.line) + ip + " is planned for row " + std::to_string(taken.first->second) +
                             "'s device as well");
    const auto it = deviceByMac.find(MacKey(row.mac.data()));
    if (it == deviceByMac.end()) {
      check.errors.push_back(Line(row.line) + mac + " did not answer the scan");
      check.deviceOf.push_back(SIZE_MAX);
      continue;
    }
    check.deviceOf.push_back(it->second);
    const HeardDevice& device = heard[it->second];
    if (device.mask != 0 && ((row.ip ^ device.network) & device.mask) != 0)
      check.warnings.push_back(Line(row.line) + ip + " is outside " + FormatIp(device.network) + "/" +
                               FormatIp(device.mask) + ", where " + mac + " was heard (" + device.via +
                               "); it may not be reachable there afterwards");
  }
  // A device outside the plan keeps its address: nobody in the plan may
  // take it.
  for (const HeardDevice& d : heard) {
    if (macLine.count(MacKey(d.record.mac())) != 0 || d.record.ip() == 0) continue;
    const auto it = planned.find(d.record.ip());
    if (it != planned.end())
      check.errors.push_back(Line(it->second) + FormatIp(it->first) + " is in use by " + FormatMac(d.record.mac()) +
                             ", which is not in the plan");
  }
  std::stable_sort(check.errors.begin(), check.errors.end(), [](const std::string& a, const std::string& b) {
    // By line number, then as found.
    const auto number = [](const std::string& s) { return std::strtoul(s.c_str() + 4, nullptr, 10); };
    return number(a) < number(b);
  });
  return check;
}

std::string RowStateText(const RowOutcome& outcome) {
  switch (outcome.state) {
    case RowState::Pending: return "not applied";
    case RowState::Confirmed: return "confirmed";
    case RowState::Applied: return "applied, not confirmed: " + outcome.detail;
    case RowState::Refused: return "refused: " + outcome.detail;
    case RowState::Skipped: return "skipped: " + outcome.detail;
  }
  return {};
}
