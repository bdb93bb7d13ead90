#include "explorer/ctl/DeviceScan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "explorer/ctl/Console.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/ctl/LinkSeam.h"
#include "explorer/protocol/DeviceSocket.h"
#include "explorer/protocol/Scan.h"
#include "explorer/res/Strings.h"

namespace ctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStatusEvery = std::chrono::milliseconds(200);

// Runs on the main thread inside every transport wait slice.
class ScanPump {
 public:
  // passMs: how long a pass takes, its sweeps' sending included.
  ScanPump(CDeviceSocket& transport, int passes, long passMs)
      : transport_(transport), passes_(passes), passMs_(passMs) {}

  void StartPass() {
    ++pass_;
    passStart_ = Clock::now();
    Show(true);
  }
  void operator()() {
    if (Interrupted()) transport_.CancelRequest();
    Show(false);
  }

 private:
  void Show(bool now) {
    Console& console = Console::Get();
    if (!console.ShowsProgress()) return;
    const auto t = Clock::now();
    if (!now && t - lastShown_ < kStatusEvery) return;
    lastShown_ = t;
    const long passMs = passMs_;
    const long elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(t - passStart_).count();
    long leftMs = (passes_ - pass_) * passMs + std::max(0L, passMs - elapsed);
    char text[160];
    std::snprintf(text, sizeof text, "%s pass %d of %d, %ld s left", SCAN_STATUS_TEXT, pass_,
                  passes_, (leftMs + 999) / 1000);
    console.Status(text);
  }

  CDeviceSocket& transport_;
  int passes_;
  long passMs_;
  int pass_ = 0;
  Clock::time_point passStart_{};
  Clock::time_point lastShown_{};
};

// The rows in the explorer's order, without those of links the scan was
// not asked for.
std::vector<DeviceRow> RowsOf(CDeviceSocket& transport, const std::vector<DeviceRecord>& records,
                              const std::vector<std::string>& interfaces) {
  std::vector<const DeviceRecord*> list;
  for (const DeviceRecord& r : records) list.push_back(&r);
  const std::vector<bool> dup = DuplicateIpFlags(list);
  std::vector<DeviceRow> rows;
  for (size_t i : RowOrder(list)) {
    DeviceRow row;
    row.record = *list[i];
    row.duplicateIp = dup[i];
    row.link = ReplyInterface(transport, row.record);
    row.via = ReplyVia(transport, row.record);
    // A target's answer is wanted whichever link its router sits on.
    const bool wanted = interfaces.empty() || row.link.empty() || row.via.throughTarget ||
                        std::find(interfaces.begin(), interfaces.end(), row.link) != interfaces.end();
    if (wanted) rows.push_back(row);
  }
  return rows;
}

// What standard error says when the listed pass stopped at `max` devices.
std::string ListFullText(size_t max) {
  return "list full at " + std::to_string(max) + " devices; more may have answered";
}

}  // namespace

ScanResult ScanDevices(const ScanRequest& request) {
  ScanResult result;
  const int passes = std::clamp(request.passes, 1, SCAN_PASSES);
  CDeviceSocket transport;
  RestrictToInterfaces(transport, request.interfaces);
  ApplyScope(transport, request.scope);
  uint64_t swept = 0;
  for (const DiscoveryTarget& t : request.scope.targets)
    if (t.kind == DiscoveryTarget::Kind::Sweep) swept += t.Count();
  const long sweepMs = static_cast<long>(swept * 1000 / std::max(1u, request.scope.sweepRate));
  ScanPump pump(transport, passes, static_cast<long>(CDeviceSocket::DISCOVERY_PASS_MS) + sweepMs);
  transport.SetPumpHook([&pump] { pump(); });

  // Not the window's array: a command line may list more than it holds.
  std::vector<DeviceRecord> records;
  const size_t cap = static_cast<size_t>(std::max(1, request.maxDevices));
  int started = 0;
  ScanListHooks hooks;
  // The explorer's passes, ended early by Ctrl-C or after the asked number.
  hooks.stillBusy = [&] { return !Interrupted() && started < passes; };
  hooks.discover = [&](int& n) {
    ++started;
    pump.StartPass();
    const int32_t r = transport.Discover(records, cap);
    n = static_cast<int>(records.size());
    return r;
  };
  hooks.release = [&] { records.clear(); };
  // Only the transport's own -1 is a networking failure; a device may
  // answer with status 0xFFFFFFFF.
  hooks.failedLocally = [&transport] { return transport.SendFailed(); };
  const ScanOutcome outcome = RunScanPasses(hooks);
  transport.SetPumpHook(nullptr);
  Console::Get().ClearStatus();

  if (Interrupted()) {
    result.exitCode = EXIT_INTERRUPTED;
    return result;
  }
  if (request.report)
    result.report = BuildDoctorReport(GatherDoctorFacts(transport, records, DoctorFrontEnd::CommandLine));
  if (outcome.networkingFailed) {
    result.exitCode = EXIT_FAILED;
    result.failureText = NETWORKING_FAILED_TEXT;
    return result;
  }
  // RunScanPasses decides filling on "still busy", which the pass limit
  // above turns false on purpose: fill on the explorer's other condition.
  const bool fill = outcome.passes > 0 && outcome.lastResult == 0;
  result.failureText = ScanFailureText(outcome, LoadBrandString(IDS_DEVICE_NAME));
  if (fill) {
    result.rows = RowsOf(transport, records, request.interfaces);
    // Said whatever the format, beside the list and not in it.
    if (transport.LastPassFull()) Console::Get().Err(ListFullText(cap));
  }
  records.clear();
  if (result.rows.empty()) {
    // Nobody answered, or only devices on links the scan was not asked for.
    const ScanVerdict verdict = VerdictOf(outcome);
    const bool none = verdict == ScanVerdict::NoDevices || verdict == ScanVerdict::Listed;
    if (none) result.failureText = NoDevicesFoundText(LoadBrandString(IDS_DEVICE_NAME));
    result.exitCode = none ? EXIT_NO_DEVICES : EXIT_FAILED;
  }
  return result;
}

FoundDevice FindDevice(const std::vector<DeviceRow>& rows, const DeviceSpec& spec) {
  std::vector<const DeviceRecord*> records;
  for (const DeviceRow& row : rows) records.push_back(&row.record);
  const DeviceLookup lookup = ::FindDevice(records, spec);
  FoundDevice found;
  found.exitCode = lookup.result == LookupResult::Found ? EXIT_OK : EXIT_NOT_FOUND;
  found.error = lookup.text;
  found.index = lookup.index;
  return found;
}

std::string RecordToHex(const DeviceRecord& record) {
  static const char* const kDigits = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : record.bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

std::optional<DeviceRecord> RecordFromHex(const std::string& hex) {
  if (hex.size() != DEVICE_RECORD_SIZE * 2) return std::nullopt;
  DeviceRecord record;
  for (size_t i = 0; i < DEVICE_RECORD_SIZE; ++i) {
    const int hi = HexDigit(hex[i * 2]);
    const int lo = HexDigit(hex[i * 2 + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    record.bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return record;
}

}  // namespace ctl
