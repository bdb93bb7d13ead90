#include "explorer/app/DeviceTable.h"

#include <unordered_map>

#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/Scan.h"

DeviceTable::DeviceTable() = default;
DeviceTable::~DeviceTable() = default;

void DeviceTable::Merge(DeviceRecordArray& records, int count) {
  if (count > MAX_DEVICES) count = MAX_DEVICES;
  // Devices already here, by Ethernet address: their objects are kept.
  std::unordered_map<uint64_t, size_t> listed;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i]->record) listed.emplace(MacKey(devices_[i]->record->mac()), i);
  }
  std::unordered_map<uint64_t, size_t> placed;  // index into `next`
  std::vector<std::unique_ptr<CQuillbox>> next;
  next.reserve(devices_.size() + static_cast<size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) {
    if (!records[i]) continue;
    const uint64_t key = MacKey(records[i]->mac());
    if (auto again = placed.find(key); again != placed.end()) {
      next[again->second]->record = std::move(records[i]);
      continue;
    }
    std::unique_ptr<CQuillbox> q;
    if (auto kept = listed.find(key); kept != listed.end()) {
      q = std::move(devices_[kept->second]);
    } else {
      q = std::make_unique<CQuillbox>();
    }
    q->record = std::move(records[i]);
    placed.emplace(key, next.size());
    next.push_back(std::move(q));
  }
  for (auto& q : devices_) {
    if (q) next.push_back(std::move(q));
  }
  devices_ = std::move(next);
}

void DeviceTable::Clear() { devices_.clear(); }

CQuillbox* DeviceTable::At(int index) const {
  if (index < 0 || index >= Size()) return nullptr;
  return devices_[static_cast<size_t>(index)].get();
}

int DeviceTable::IndexOf(const CQuillbox* q) const {
  if (!q) return -1;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].get() == q) return static_cast<int>(i);
  }
  return -1;
}

std::vector<const DeviceRecord*> DeviceTable::Records() const {
  std::vector<const DeviceRecord*> out;
  out.reserve(devices_.size());
  for (const auto& q : devices_) out.push_back(q->record.get());
  return out;
}

bool DeviceTable::IsDuplicateIp(uint32_t ipNetOrder) const { return ::IsDuplicateIp(Records(), ipNetOrder); }
