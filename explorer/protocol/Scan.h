#pragma once
// Plain rules of the network scan and of the device list's rows: which
// rows exist, in what order, with which texts and images. The widget only
// mirrors what these functions decide, so the rules are testable without a
// screen.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"

constexpr int SCAN_BUSY_MS = 12000;
constexpr int SCAN_PASSES = 3;
constexpr const char* SCAN_STATUS_TEXT = "Scanning the local network...";
constexpr const char* DUPLICATE_IP_SUFFIX = " (duplicate IP)";
constexpr const char* NETWORKING_FAILED_TEXT = "Cannot initialize networking";

// Row images: index 0 a red cross (no usable address), 1 a green tick.
constexpr int IMAGE_CROSS = 0;
constexpr int IMAGE_TICK = 1;

// Addresses travel in network byte order; rows are ordered numerically, so
// compare in host order (10.0.0.2 before 192.168.0.1).
uint32_t IpSortKey(uint32_t ipNetOrder);

// True when more than one of `records` (null entries skipped) has exactly
// this address; the record asked about counts itself.
bool IsDuplicateIp(const std::vector<const DeviceRecord*>& records, uint32_t ipNetOrder);
// The same answer for every record at once (linear, for lists of thousands).
std::vector<bool> DuplicateIpFlags(const std::vector<const DeviceRecord*>& records);

// One device as every listing shows it: the window's two columns and image,
// and the fields a listing without columns spells out.
struct RowContent {
  std::string macText;  // column 0
  std::string ipText;   // column 1: the address, marked when another device has it too
  int image = IMAGE_CROSS;
  std::string addressText;  // the address unmarked
  std::string maskText;
  uint16_t kind = 0;
  bool duplicateIp = false;
  bool noAddress = false;  // 0.0.0.0: it can only be given one
};
RowContent BuildRowContent(const DeviceRecord& record, bool duplicateIp);

// Display order of the rows: ascending address, and among equal addresses
// the order in which the devices answered (the order of `records`).
std::vector<size_t> RowOrder(const std::vector<const DeviceRecord*>& records);

// The passes of one scan, free of any window: `stillBusy` says whether the
// user has not cancelled yet, `discover` runs one discovery pass.
struct ScanHooks {
  std::function<bool()> stillBusy;
  std::function<int32_t(DeviceRecordArray&, int&)> discover;
  // After a pass returned -1: true when that is the transport's own failure
  // (no socket, or the send failed), false when a device answered with
  // status 0xFFFFFFFF. Only the former stops the scan as a networking
  // failure. None: no -1 is taken as the transport's.
  std::function<bool()> failedLocally;
};

struct ScanOutcome {
  bool networkingFailed = false;  // a pass could not send: nothing else happens
  bool fill = false;              // list the records of the last pass
  int passes = 0;                 // passes actually run
  int32_t firstError = 0;         // first non-zero pass result
  int32_t lastResult = 0;         // result of the latest pass
  int recordCount = 0;            // records left by the latest pass
};

// Runs up to SCAN_PASSES passes. Records of an earlier pass are released
// before the next one starts; after a networking failure none are kept.
ScanOutcome RunScanPasses(const ScanHooks& hooks, DeviceRecordArray& records, int& count);

// The same passes over a list the caller holds itself (one that may grow
// past MAX_DEVICES): `discover` runs one pass into it and sets how many
// records it left there, `release` empties it.
struct ScanListHooks {
  std::function<bool()> stillBusy;
  std::function<int32_t(int&)> discover;
  std::function<void()> release;
  std::function<bool()> failedLocally;  // as in ScanHooks
};
ScanOutcome RunScanPasses(const ScanListHooks& hooks);

// Nobody answered: the first pass heard nobody and the last left no record
// (the box then reads "No " + device name + "s found").
bool ScanFoundNoDevice(const ScanOutcome& outcome);

// What the passes came to, as far as the user is told.
enum class ScanVerdict {
  Listed,            // whatever answered is listed, with nothing to add
  NoDevices,         // nobody answered
  Failed,            // the last pass failed: its error is shown
  NetworkingFailed,  // a pass could not be sent
};
ScanVerdict VerdictOf(const ScanOutcome& outcome);

// What the user is told when no device answered.
std::string NoDevicesFoundText(const std::string& deviceName);

// The text of the box shown after the passes, or empty for none.
std::string ScanFailureText(const ScanOutcome& outcome, const std::string& deviceName);

// Releases every record of the array and sets the count to 0.
void ReleaseRecords(DeviceRecordArray& records, int& count);
