#include "explorer/app/UpgradeCommand.h"

#include <QTreeWidget>
#include <optional>
#include <string>
#include <vector>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/OperationCommands.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/res/Strings.h"
#include "explorer/upgrade/UpgradeWorker.h"

namespace {

// "All Files" is "*": on this system a name need not have a dot.
constexpr const char* PAK_FILTER = "Pak Files (*.pak);;All Files (*)";

}  // namespace

FileDialogRequest UpgradeDialogRequest(const CQuillbox& q) {
  FileDialogRequest request;
  request.save = false;
  request.title = "Upgrade " + LoadBrandString(IDS_DEVICE_NAME) + " (" + DeviceMacText(q) + ")";
  request.filter = PAK_FILTER;
  request.initialPath = q.firmwarePath;
  request.defaultSuffix = "pak";
  return request;
}

void OnUpgradeFirmware(CExplorerDlg& dlg) {
  // The rows selected now, in list order, before any dialog can change them.
  std::vector<CQuillbox*> selected;
  CDeviceListView& list = dlg.DeviceList();
  for (int row = 0; row < list.topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = list.topLevelItem(row);
    if (item && item->isSelected()) {
      if (CQuillbox* q = dlg.DeviceAt(row)) selected.push_back(q);
    }
  }
  if (selected.empty()) {
    if (CQuillbox* q = dlg.SelectedDevice()) selected.push_back(q);
  }
  for (CQuillbox* q : selected) {
    if (Operations().IsRunning(q) || !dlg.Devices().Contains(q)) continue;
    std::optional<std::string> path = dlg.Ui().FileDialog(UpgradeDialogRequest(*q));
    if (!path || Operations().IsRunning(q)) continue;
    q->firmwarePath = *path;
    BeginOperationBusy(dlg, *q, OPERATION_UPGRADE);
    QueueOperation(dlg, q, OPERATION_UPGRADE);
  }
}

