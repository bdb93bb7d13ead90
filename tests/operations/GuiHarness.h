#pragma once
// Drives the main window headless for the long-operation tests: a ModalUi
// that answers from a script and keeps one log of every interaction in
// order, devices put into the list, bounded waiting that keeps the event
// loop running, and the base of the suites that run the window against one
// simulator.
#include <QApplication>
#include <QCoreApplication>
#include <arpa/inet.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/OperationCommands.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/ui/DeviceListView.h"
#include "support/FileBytes.h"
#include "support/ScriptedUi.h"
#include "support/SimulatedDevicesSuite.h"
#include "support/WindowHandlers.h"

namespace guitest {

using Box = RecordedBox;
using ScriptUi = ScriptedUi;

// The application of the test's own main (tests/app/QtTestMain.cpp) when it
// has one, which then outlives every widget and input device; else one
// made on first use.
inline QApplication& App() {
  if (auto* running = qobject_cast<QApplication*>(QCoreApplication::instance())) return *running;
  static int argc = 1;
  static char name[] = "optest";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

// Runs the event loop until `done` or `limit`; the result of `done`.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

inline void Spin(std::chrono::milliseconds d) {
  WaitFor([] { return false; }, d);
}

struct ListedDevice {
  uint8_t macLast;
  uint16_t kind;
  uint32_t ipHostOrder;
};

// Lists the devices as a scan would and returns their objects in list order.
inline std::vector<CQuillbox*> ListDevices(CExplorerDlg& dlg, const std::vector<ListedDevice>& devices) {
  std::vector<std::unique_ptr<DeviceRecord>> records;
  for (const ListedDevice& d : devices) {
    auto r = std::make_unique<DeviceRecord>();
    uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x66, 0x00, d.macLast};
    r->setMac(mac);
    r->setKind(d.kind);
    r->setIp(htonl(d.ipHostOrder));
    r->setMask(htonl(0xFF000000u));
    records.push_back(std::move(r));
  }
  return dlg.ListDevices(std::move(records));
}

using testsupport::ReadAll;
using testsupport::WriteAll;

// The main window over one simulator for the whole suite; each test opens
// a window of its own with OpenWindow.
template <typename Suite>
class WindowSuite : public testsupport::SimulatedDevicesSuite<Suite> {
 protected:
  void OpenWindow(const std::vector<ListedDevice>& listed) {
    App();
    dlg = std::make_unique<CExplorerDlg>(ui);
    devices = ListDevices(*dlg, listed);
  }
  void TearDown() override {
    if (dlg) {
      // As the window's close does: nothing may still run on its devices.
      WaitForRunningOperation();
      dlg.reset();
    }
    QCoreApplication::processEvents();
  }

  void Click(CQuillbox* q, int command) {
    dlg->SelectDevice(q);
    dlg->RunCommand(command);
    ASSERT_TRUE(testsupport::FinishHandlers(*dlg));
  }
  // Selects these rows as Ctrl clicks would, then runs the command.
  void ClickSeveral(const std::vector<CQuillbox*>& qs, int command) {
    CDeviceListView& list = dlg->DeviceList();
    list.clearSelection();
    for (int row = 0; row < list.topLevelItemCount(); ++row)
      for (CQuillbox* q : qs)
        if (dlg->DeviceAt(row) == q) list.topLevelItem(row)->setSelected(true);
    dlg->RunCommand(command);
    ASSERT_TRUE(testsupport::FinishHandlers(*dlg));
  }
  bool WaitBoxes(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return WaitFor([&] { return ui.boxes.size() >= n; }, limit);
  }

  ScriptUi ui;
  std::unique_ptr<CExplorerDlg> dlg;
  std::vector<CQuillbox*> devices;
};

}  // namespace guitest
