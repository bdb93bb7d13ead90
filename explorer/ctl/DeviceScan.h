#pragma once
// The scan as the explorer runs it (the same passes, rules and row order),
// for a terminal: progress on standard error, Ctrl-C through the transport's
// CancelRequest, and a DEVICE argument resolved against the rows.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"

namespace ctl {

struct DeviceRow {
  DeviceRecord record;
  bool duplicateIp = false;
  std::string link;  // interface the reply came on; "" when unknown
};

struct ScanRequest {
  int passes = 1;
  std::vector<std::string> interfaces;  // empty: every interface
};

struct ScanResult {
  int exitCode = 0;         // an ExitCode
  std::string failureText;  // what the explorer would show in its box, if anything
  std::vector<DeviceRow> rows;  // in the explorer's row order
};

ScanResult ScanDevices(const ScanRequest& request);

// DEVICE on the command line: an Ethernet address (colons or dashes) or an
// IPv4 address.
struct DeviceSpec {
  bool byMac = false;
  std::array<uint8_t, 6> mac{};
  uint32_t ip = 0;  // network byte order
  std::string text;
};
std::optional<DeviceSpec> ParseDeviceSpec(const std::string& text);
std::optional<std::array<uint8_t, 6>> ParseMac(const std::string& text);
std::optional<uint32_t> ParseIpv4(const std::string& text);  // network byte order

// Index of the one row DEVICE names, or an exit code with its text: a MAC
// nobody answered for, an address nobody (or several devices) use.
struct FoundDevice {
  int exitCode = 0;
  std::string error;
  size_t index = 0;
};
FoundDevice FindDevice(const std::vector<DeviceRow>& rows, const DeviceSpec& spec);

// A record in 32 hexadecimal digits, as a batch hands a device to its jobs
// (which then need no scan of their own).
std::string RecordToHex(const DeviceRecord& record);
std::optional<DeviceRecord> RecordFromHex(const std::string& hex);

}  // namespace ctl
