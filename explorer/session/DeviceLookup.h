#pragma once
// The one device a user's DEVICE names among those a scan found: by its
// Ethernet address, or by an IPv4 address only one of them uses.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"

// An Ethernet address (colons or dashes) or an IPv4 address, as typed.
struct DeviceSpec {
  bool byMac = false;
  std::array<uint8_t, 6> mac{};
  uint32_t ip = 0;  // network byte order
  std::string text;
};
std::optional<DeviceSpec> ParseDeviceSpec(const std::string& text);
std::optional<std::array<uint8_t, 6>> ParseMac(const std::string& text);
std::optional<uint32_t> ParseIpv4(const std::string& text);  // network byte order
// A hexadecimal digit's value; -1 for any other character.
int HexDigit(char c);

enum class LookupResult {
  Found,
  NoneAnswers,    // nobody has that Ethernet address or uses that IP address
  SeveralAnswer,  // the address is a duplicate: which one a request reaches is anybody's guess
};

struct DeviceLookup {
  LookupResult result = LookupResult::NoneAnswers;
  size_t index = 0;    // with Found: the record's
  size_t matches = 0;  // how many records answer to it
  std::string text;    // "" with Found, else what the user is told
};
DeviceLookup FindDevice(const std::vector<const DeviceRecord*>& records, const DeviceSpec& spec);
