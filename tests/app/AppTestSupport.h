#pragma once
// Shared pieces of the main-window tests: one QApplication, device rows.
#include <arpa/inet.h>

#include <QApplication>
#include <QTest>
#include <QAbstractButton>
#include <QLabel>
#include <QTreeWidgetItem>
#include <memory>
#include <string>
#include <vector>

#include "explorer/app/ExplorerDlg.h"

namespace apptest {

// The tests' main (QtTestMain.cpp) owns the application object.
inline QApplication& App() { return *qApp; }

struct Device {
  uint8_t lastMacByte;
  uint16_t kind;
  const char* ip;
};

inline std::unique_ptr<DeviceRecord> MakeRecord(const Device& d) {
  auto r = std::make_unique<DeviceRecord>();
  const uint8_t mac[6] = {0x00, 0xC0, 0x3A, 0x01, 0x02, d.lastMacByte};
  r->setMac(mac);
  r->setKind(d.kind);
  r->setIp(inet_addr(d.ip));
  r->setMask(inet_addr("255.0.0.0"));
  return r;
}

// Lists `devices` as a scan would.
inline void ListDevices(CExplorerDlg& dlg, const std::vector<Device>& devices) {
  std::vector<std::unique_ptr<DeviceRecord>> records;
  for (const auto& d : devices) records.push_back(MakeRecord(d));
  dlg.ListDevices(std::move(records));
}

// The row whose IP column starts with `ip` (a duplicate mark may follow).
inline QTreeWidgetItem* RowOf(CExplorerDlg& dlg, const std::string& ip) {
  auto& list = dlg.DeviceList();
  for (int i = 0; i < list.topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list.topLevelItem(i);
    const std::string text = item->text(1).toStdString();
    if (text == ip || text.rfind(ip + " ", 0) == 0) return item;
  }
  return nullptr;
}

// A user's mouse click on a row (or, with no row, on the list's empty space).
inline void ClickRow(CExplorerDlg& dlg, QTreeWidgetItem* item) {
  auto& list = dlg.DeviceList();
  QPoint at;
  if (item) {
    at = list.visualItemRect(item).center();
  } else {
    at = QPoint(list.viewport()->width() / 2, list.viewport()->height() - 3);
  }
  QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, at);
  QCoreApplication::processEvents();
}

inline QString Text(CExplorerDlg& dlg, int id) {
  QWidget* w = dlg.Control(id);
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  return {};
}

inline bool Enabled(CExplorerDlg& dlg, int id) { return dlg.Control(id)->isEnabled(); }

}  // namespace apptest
