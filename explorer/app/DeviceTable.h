#pragma once
// The window's devices: one CQuillbox per listed device, in the order the
// devices first answered. The list view only shows them; its rows name a
// device by its index here.
//
// Ownership of records: the scan's record array owns the records of a pass
// until Merge hands each one to its device's CQuillbox (the array entry is
// then empty); from there on the CQuillbox owns it and frees it with itself.
//
// A device object is freed only by Clear or with the table; the operation
// queue's workers hold plain pointers, so whoever calls Clear first makes
// sure no worker exists and nothing is queued.
#include <cstdint>
#include <memory>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"

class CQuillbox;

class DeviceTable {
 public:
  DeviceTable();
  ~DeviceTable();
  DeviceTable(const DeviceTable&) = delete;
  DeviceTable& operator=(const DeviceTable&) = delete;

  // Takes the first `count` records (at most MAX_DEVICES) out of the array.
  // A device already here (matched by Ethernet address) keeps its object,
  // with what the user typed for it; a second answer of a device within
  // the array refreshes its record and adds no device. Devices here that
  // did not answer stay. Indexes change; objects never move.
  void Merge(DeviceRecordArray& records, int count);
  void Clear();

  int Size() const { return static_cast<int>(devices_.size()); }
  // The device at `index`, or none out of range.
  CQuillbox* At(int index) const;
  // The index of q, or -1 when q is not (or no longer) here.
  int IndexOf(const CQuillbox* q) const;
  bool Contains(const CQuillbox* q) const { return IndexOf(q) >= 0; }
  // Every device's record (none for a device without one), by index.
  std::vector<const DeviceRecord*> Records() const;
  // More than one device here uses this address.
  bool IsDuplicateIp(uint32_t ipNetOrder) const;

 private:
  std::vector<std::unique_ptr<CQuillbox>> devices_;
};
