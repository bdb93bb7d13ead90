#pragma once
// The scan as the explorer runs it (the same passes, rules and row order),
// for a terminal: progress on standard error, Ctrl-C through the transport's
// CancelRequest, and a DEVICE argument resolved against the rows.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/session/DeviceLookup.h"
#include "explorer/session/Discovery.h"
#include "explorer/session/Doctor.h"

namespace ctl {

struct DeviceRow {
  DeviceRecord record;
  bool duplicateIp = false;
  std::string link;  // interface the reply came on; "" when unknown
  DeviceVia via;     // that link, or the target whose request it answered
};

struct ScanRequest {
  int passes = 1;
  std::vector<std::string> interfaces;  // empty: every interface
  DiscoveryScope scope;                 // targets and sweeps besides the broadcasts
  // A pass ends once this many devices answered; the last one's list is
  // then said to be full (on standard error).
  int maxDevices = MAX_DEVICES;
  bool report = false;  // also tell what the last pass looked at (doctor)
};

struct ScanResult {
  int exitCode = 0;         // an ExitCode
  std::string failureText;  // what the explorer would show in its box, if anything
  std::vector<DeviceRow> rows;  // in the explorer's row order
  std::optional<DoctorReport> report;  // when asked for, unless interrupted
};

ScanResult ScanDevices(const ScanRequest& request);

// Index of the one row DEVICE names (as the session finds it), or an exit
// code with its text: a MAC nobody answered for, an address nobody (or
// several devices) use.
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
