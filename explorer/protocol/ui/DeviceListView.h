#pragma once
// The main window's device list (control 1018): one row per device, item
// data the row's CQuillbox, which the list owns.
#include <QTreeWidget>

#include "explorer/protocol/DeviceMessages.h"

class CQuillbox;

class CDeviceListView : public QTreeWidget {
  Q_OBJECT
 public:
  explicit CDeviceListView(QWidget* parent = nullptr);
  ~CDeviceListView() override;

  // Destroys every row and its CQuillbox.
  void ClearDeviceList();
  // Rebuilds the rows from the first `count` records, sorted by IP address,
  // keeping the CQuillbox of every device that already had a row.
  void FillDeviceList(DeviceRecordArray& records, int count);
  CQuillbox* SelectedDevice() const;
  void SelectDevice(CQuillbox* q);
};
