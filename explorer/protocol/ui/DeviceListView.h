#pragma once
// The main window's device list (control 1018): one row per device. The
// list only shows the devices; each row names its device by the index the
// caller gave it, and the caller owns whatever stands behind that index.
#include <QIcon>
#include <QTreeWidget>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"

class CDeviceListView : public QTreeWidget {
  Q_OBJECT
 public:
  static constexpr int COLUMN_MAC = 0;
  static constexpr int COLUMN_IP = 1;
  static constexpr int NO_DEVICE = -1;

  explicit CDeviceListView(QWidget* parent = nullptr);
  ~CDeviceListView() override;

  // Removes every row.
  void ClearDeviceList();
  // Replaces the rows with one per record, sorted by IP address, duplicate
  // addresses marked; the row of records[i] names device i. The selection
  // goes with the old rows.
  void ShowDevices(const std::vector<const DeviceRecord*>& records);
  // The device of the first selected row (from the top), or NO_DEVICE.
  int SelectedIndex() const;
  // The devices of every selected row, from the top.
  std::vector<int> SelectedIndexes() const;
  void SelectIndex(int index);
  // The device of row `row` (top is 0), or NO_DEVICE.
  int IndexAt(int row) const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitColumns();

  QIcon images_[2];  // red cross, green tick
};
