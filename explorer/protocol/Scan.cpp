#include "explorer/protocol/Scan.h"

#include <arpa/inet.h>

#include <algorithm>
#include <numeric>
#include <unordered_map>

#include "explorer/protocol/ErrorTable.h"

uint32_t IpSortKey(uint32_t ipNetOrder) { return ntohl(ipNetOrder); }

bool IsDuplicateIp(const std::vector<const DeviceRecord*>& records, uint32_t ipNetOrder) {
  int seen = 0;
  for (const DeviceRecord* r : records) {
    if (r && r->ip() == ipNetOrder && ++seen > 1) return true;
  }
  return false;
}

std::vector<bool> DuplicateIpFlags(const std::vector<const DeviceRecord*>& records) {
  std::unordered_map<uint32_t, int> uses;
  uses.reserve(records.size());
  for (const DeviceRecord* r : records) {
    if (r) ++uses[r->ip()];
  }
  std::vector<bool> flags(records.size(), false);
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i]) flags[i] = uses[records[i]->ip()] > 1;
  }
  return flags;
}

RowContent BuildRowContent(const DeviceRecord& record, bool duplicateIp) {
  RowContent row;
  row.macText = FormatMac(record.mac());
  row.addressText = FormatIp(record.ip());
  row.ipText = row.addressText;
  row.maskText = FormatIp(record.mask());
  row.kind = record.kind();
  row.duplicateIp = duplicateIp;
  row.noAddress = record.ip() == 0;
  row.image = row.noAddress ? IMAGE_CROSS : IMAGE_TICK;
  if (duplicateIp) {
    // Several devices without an address are marked too.
    row.ipText += DUPLICATE_IP_SUFFIX;
    row.image = IMAGE_CROSS;
  }
  return row;
}

std::vector<size_t> RowOrder(const std::vector<const DeviceRecord*>& records) {
  std::vector<size_t> order;
  order.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i]) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return IpSortKey(records[a]->ip()) < IpSortKey(records[b]->ip());
  });
  return order;
}

void ReleaseRecords(DeviceRecordArray& records, int& count) {
  for (auto& r : records) r.reset();
  count = 0;
}

ScanOutcome RunScanPasses(const ScanHooks& hooks, DeviceRecordArray& records, int& count) {
  ScanListHooks list;
  list.stillBusy = hooks.stillBusy;
  list.discover = [&](int& n) {
    const int32_t result = hooks.discover(records, count);
    n = count;
    return result;
  };
  list.release = [&] { ReleaseRecords(records, count); };
  list.failedLocally = hooks.failedLocally;
  return RunScanPasses(list);
}

ScanOutcome RunScanPasses(const ScanListHooks& hooks) {
  ScanOutcome out;
  int count = 0;
  for (int pass = 0; pass < SCAN_PASSES; ++pass) {
    if (!hooks.stillBusy()) break;
    // Nothing owns the previous pass's records: the list is filled only
    // from the last one.
    hooks.release();
    count = 0;
    const int32_t result = hooks.discover(count);
    ++out.passes;
    if (result == -1 && hooks.failedLocally && hooks.failedLocally()) {
      hooks.release();
      out.networkingFailed = true;
      out.recordCount = 0;
      return out;
    }
    if (out.firstError == 0) out.firstError = result;
    out.lastResult = result;
  }
  out.recordCount = count;
  out.fill = out.passes > 0 && hooks.stillBusy() && out.lastResult == 0;
  return out;
}

bool ScanFoundNoDevice(const ScanOutcome& outcome) {
  return !outcome.networkingFailed && outcome.firstError == ERR_RECEIVE_TIMEOUT &&
         outcome.recordCount == 0;
}

std::string NoDevicesFoundText(const std::string& deviceName) { return "No " + deviceName + "s found"; }

ScanVerdict VerdictOf(const ScanOutcome& outcome) {
  if (outcome.networkingFailed) return ScanVerdict::NetworkingFailed;
  if (outcome.firstError == 0) return ScanVerdict::Listed;
  if (ScanFoundNoDevice(outcome)) return ScanVerdict::NoDevices;
  // An earlier pass failed but the last one found devices: they are listed,
  // and "No Error" would not tell the user anything.
  if (outcome.lastResult != 0) return ScanVerdict::Failed;
  return ScanVerdict::Listed;
}

std::string ScanFailureText(const ScanOutcome& outcome, const std::string& deviceName) {
  switch (VerdictOf(outcome)) {
    case ScanVerdict::NetworkingFailed: return NETWORKING_FAILED_TEXT;
    case ScanVerdict::NoDevices: return NoDevicesFoundText(deviceName);
    case ScanVerdict::Failed: return ErrorText(outcome.lastResult);
    case ScanVerdict::Listed: break;
  }
  return {};
}
