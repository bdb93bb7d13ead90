#include "explorer/app/UpgradeCommand.h"

#include <optional>
#include <string>
#include <vector>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/OperationCommands.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/res/Strings.h"
#include "explorer/session/Selection.h"
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
  const std::vector<CQuillbox*> selected = dlg.SelectedDevices();
  std::vector<CQuillbox*> queued;
  std::optional<std::string> forTheRest;  // the image the user chose for every remaining row
  bool asked = false;
  for (size_t i = 0; i < selected.size(); ++i) {
    CQuillbox* q = selected[i];
    if (Operations().IsRunning(q) || !dlg.Devices().Contains(q)) continue;
    std::optional<std::string> path = forTheRest ? forTheRest : dlg.Ui().FileDialog(UpgradeDialogRequest(*q));
    if (!path || Operations().IsRunning(q)) continue;
    q->firmwarePath = *path;
    BeginOperationBusy(dlg, *q, OPERATION_UPGRADE);
    QueueOperation(dlg, q, OPERATION_UPGRADE);
    queued.push_back(q);
    const int remaining = static_cast<int>(selected.size() - i - 1);
    if (!asked && remaining > 0) {
      // Asked once, after the first image: a whole plant is mostly upgraded
      // with one image.
      asked = true;
      if (dlg.Ui().Question(SameImageQuestion(*path, remaining), SAME_IMAGE_CAPTION)) forTheRest = path;
    }
  }
  if (selected.size() > 1) StartBatch(dlg, OPERATION_UPGRADE, std::move(queued));
}

