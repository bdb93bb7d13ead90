#include "explorer/session/Selection.h"

#include <algorithm>
#include <cstdio>

#include "explorer/session/DeviceRules.h"
#include "net/Interfaces.h"

namespace {

// The tooltip of a button the first selected device refuses.
std::string WhyNot(const DeviceRecord& device, Refusal refusal) {
  const std::string kind = "Kind " + std::to_string(device.kind());
  switch (refusal) {
    case Refusal::None: return {};
    case Refusal::NoAddress: return "The device has no IP address: give it one with Set IP address";
    case Refusal::NoConfigurationTransfer:
      return kind + " is configured over telnet: it has no configuration transfer";
    case Refusal::NoFtpServer: return kind + " is configured over telnet: it has no firmware upgrade";
    case Refusal::NoFirmwareUpgrade: return kind + " has no firmware upgrade";
  }
  return {};
}

ActionOffer Offer(const DeviceRecord& first, DeviceAction action) {
  const Refusal refusal = RefusalOf(first, action);
  return {refusal == Refusal::None, WhyNot(first, refusal)};
}

}  // namespace

SelectionOffers OffersForSelection(const std::vector<const DeviceRecord*>& selected) {
  SelectionOffers s;
  if (selected.empty() || !selected.front()) return s;
  const DeviceRecord& first = *selected.front();
  s.telnetCaption = ConfiguresOverTelnet(first);
  s.web = Offer(first, DeviceAction::WebConfiguration);
  s.getConfig = Offer(first, DeviceAction::GetConfiguration);
  s.setConfig = Offer(first, DeviceAction::SetConfiguration);
  s.upgrade = Offer(first, DeviceAction::UpgradeFirmware);
  s.test = Offer(first, DeviceAction::TestConnection);
  // One device without an address stops every command but Set IP address
  // for the whole selection: none of them could reach it.
  const auto noAddress = std::find_if(selected.begin(), selected.end(),
                                      [](const DeviceRecord* d) { return !d || d->ip() == 0; });
  if (noAddress != selected.end()) {
    const std::string why = selected.size() == 1 || !*noAddress
                                ? WhyNot(first, Refusal::NoAddress)
                                : FormatMac((*noAddress)->mac()) + " has no IP address: give it one with Set IP address";
    for (ActionOffer* o : {&s.web, &s.getConfig, &s.setConfig, &s.upgrade, &s.test}) *o = {false, why};
  }
  if (selected.size() > 1) {
    s.setIp = {false, "Set IP address takes one device at a time: select only one"};
  } else {
    s.setIp = {true, {}};
  }
  return s;
}

bool ExitGuarded(std::chrono::milliseconds sinceBusyEnded) {
  return sinceBusyEnded >= std::chrono::milliseconds(0) && sinceBusyEnded < EXIT_GUARD;
}

std::string SameImageQuestion(const std::string& path, int others) {
  return "Use " + path + " for the other " + std::to_string(others) +
         (others == 1 ? " selected device?" : " selected devices?");
}

std::string BatchStatusText(const std::string& text, int position, int count) {
  if (count < 2 || position < 1) return text;
  return text + " (" + std::to_string(position) + " of " + std::to_string(count) + ")";
}

std::string StoreFileInFolder(const std::string& folder, const uint8_t* mac6) {
  char name[32];
  std::snprintf(name, sizeof name, "%02X-%02X-%02X-%02X-%02X-%02X.txt", mac6[0], mac6[1], mac6[2], mac6[3],
                mac6[4], mac6[5]);
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ConnectionTestSummary(const std::vector<ConnectionTestLine>& lines) {
  std::string text;
  for (const ConnectionTestLine& l : lines) {
    if (!text.empty()) text += '\n';
    text += l.macText + ": ";
    text += !l.tested ? "not tested (cancelled)" : l.ok ? "Network connection is OK" : "Network connection test failed";
  }
  return text;
}

bool AllConnectionsOk(const std::vector<ConnectionTestLine>& lines) {
  return std::all_of(lines.begin(), lines.end(), [](const ConnectionTestLine& l) { return l.tested && l.ok; });
}

uint32_t StartingNetworkMask(const DeviceRecord& device, uint32_t adapterMask) {
  if (IsValidNetworkMask(device.mask())) return device.mask();
  if (IsValidNetworkMask(adapterMask)) return adapterMask;
  return FALLBACK_NETWORK_MASK;
}

uint32_t AdapterMask(const std::string& link) {
  if (link.empty()) return 0;
  std::vector<net::Interface> interfaces;
  if (net::ListIpv4Interfaces(&interfaces) != 0) return 0;
  for (const net::Interface& i : interfaces)
    if (i.name == link) return i.mask;
  return 0;
}

NetworkDialogData StartingNetworkEntry(const DeviceRecord& device, const NetworkDialogData* typedBefore,
                                       uint32_t adapterMask) {
  NetworkDialogData data;
  if (typedBefore) {
    data.ip = typedBefore->ip;
    data.mask = typedBefore->mask;
  } else {
    data.ip = device.ip();
    data.mask = StartingNetworkMask(device, adapterMask);
  }
  // Typed for one request only; a refusal is most often this very password.
  data.password.clear();
  return data;
}

void DeviceBatch::Start(int32_t kind, std::vector<CQuillbox*> devices) {
  kind_ = kind;
  devices_.clear();
  for (CQuillbox* q : devices) devices_.emplace_back(q, false);
  runs_ = std::move(devices);
}

void DeviceBatch::Clear() {
  kind_ = -1;
  devices_.clear();
  runs_.clear();
}

int DeviceBatch::PositionOf(const CQuillbox* q) const {
  // Its latest run.
  for (size_t i = runs_.size(); i > 0; --i)
    if (runs_[i - 1] == q) return static_cast<int>(i);
  return 0;
}

void DeviceBatch::Finished(const CQuillbox* q) {
  for (auto& d : devices_)
    if (d.first == q) d.second = true;
}

void DeviceBatch::Again(const CQuillbox* q) {
  const auto it = std::find_if(devices_.begin(), devices_.end(), [q](const auto& d) { return d.first == q; });
  if (it == devices_.end()) return;
  it->second = false;
  // One run more, queued after the others: the status counts runs, so it
  // never shows a place already shown, nor "(2 of 5)" after the fifth.
  runs_.push_back(it->first);
}

std::vector<CQuillbox*> DeviceBatch::Unfinished() const {
  std::vector<CQuillbox*> out;
  for (const auto& d : devices_)
    if (!d.second) out.push_back(d.first);
  return out;
}

bool DeviceBatch::OthersUnfinished(const CQuillbox* q) const {
  return std::any_of(devices_.begin(), devices_.end(), [q](const auto& d) { return d.first != q && !d.second; });
}
