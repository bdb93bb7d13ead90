#include "explorer/session/DeviceLookup.h"

#include <algorithm>

#include "explorer/protocol/Scan.h"
#include "explorer/res/Strings.h"
#include "net/Ipv4.h"

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::array<uint8_t, 6>> ParseMac(const std::string& text) {
  if (text.size() != 17) return std::nullopt;
  std::array<uint8_t, 6> mac{};
  const char sep = text[2];
  if (sep != ':' && sep != '-') return std::nullopt;
  for (size_t i = 0; i < 6; ++i) {
    if (i > 0 && text[i * 3 - 1] != sep) return std::nullopt;
    const int hi = HexDigit(text[i * 3]);
    const int lo = HexDigit(text[i * 3 + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    mac[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return mac;
}

std::optional<uint32_t> ParseIpv4(const std::string& text) {
  uint32_t ip = 0;
  if (!net::ParseIpv4(text, &ip)) return std::nullopt;
  return ip;
}

std::optional<DeviceSpec> ParseDeviceSpec(const std::string& text) {
  DeviceSpec spec;
  spec.text = text;
  if (auto mac = ParseMac(text)) {
    spec.byMac = true;
    spec.mac = *mac;
    return spec;
  }
  if (auto ip = ParseIpv4(text)) {
    spec.ip = *ip;
    return spec;
  }
  return std::nullopt;
}

DeviceLookup FindDevice(const std::vector<const DeviceRecord*>& records, const DeviceSpec& spec) {
  DeviceLookup found;
  for (size_t i = 0; i < records.size(); ++i) {
    const DeviceRecord& r = *records[i];
    const bool match = spec.byMac ? std::equal(spec.mac.begin(), spec.mac.end(), r.mac()) : r.ip() == spec.ip;
    if (!match) continue;
    if (found.matches++ == 0) found.index = i;
  }
  const std::string device = LoadBrandString(IDS_DEVICE_NAME);
  if (found.matches == 0) {
    found.result = LookupResult::NoneAnswers;
    found.text = "No " + device + " answers at " + spec.text;
  } else if (found.matches > 1) {
    found.result = LookupResult::SeveralAnswer;
    found.text = std::to_string(found.matches) + " " + device + "s answer at " + spec.text +
                 DUPLICATE_IP_SUFFIX + "; name the device by its Ethernet address";
  } else {
    found.result = LookupResult::Found;
  }
  return found;
}
