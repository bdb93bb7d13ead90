#pragma once
// The main window's device list (control 1018): one row per device, item
// data the row's CQuillbox, which the list owns.
//
// Ownership of records: the scan's record array owns the records of a pass
// until FillDeviceList hands each one to its row's CQuillbox (the array
// entry is then empty); from there on the CQuillbox owns it and frees it
// with itself.
#include <QIcon>
#include <QTreeWidget>
#include <memory>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"

class CQuillbox;

class CDeviceListView : public QTreeWidget {
  Q_OBJECT
 public:
  static constexpr int COLUMN_MAC = 0;
  static constexpr int COLUMN_IP = 1;

  explicit CDeviceListView(QWidget* parent = nullptr);
  ~CDeviceListView() override;

  // Destroys every row and its CQuillbox.
  void ClearDeviceList();
  // Rebuilds the rows from the first `count` records, sorted by IP address,
  // keeping the CQuillbox of every device that already had a row (matched
  // by Ethernet address). Takes the records out of the array.
  void FillDeviceList(DeviceRecordArray& records, int count);
  // Rebuilds the rows from the records the rows already own, after one of
  // them changed: rows move to their new positions and the duplicate marks
  // are recomputed; every CQuillbox and the selection are kept.
  void RefreshDeviceList();
  CQuillbox* SelectedDevice() const;
  void SelectDevice(CQuillbox* q);

  // More than one listed device uses this address.
  bool IsDuplicateIp(uint32_t ipNetOrder) const;
  bool Contains(const CQuillbox* q) const;
  // The CQuillbox of row `row` (top is 0), or none.
  CQuillbox* DeviceAt(int row) const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::vector<const DeviceRecord*> Records() const;
  void RebuildRows();
  void FitColumns();

  QIcon images_[2];  // red cross, green tick
  // In the order the devices answered; the rows point into these.
  std::vector<std::unique_ptr<CQuillbox>> devices_;
};
