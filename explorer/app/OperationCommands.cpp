#include "explorer/app/OperationCommands.h"

#include <QMetaObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/HttpClient.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/DeviceMessages.h"
#include "explorer/res/Strings.h"
#include "explorer/session/Operations.h"
#include "explorer/session/Outcome.h"
#include "explorer/session/Passwords.h"
#include "explorer/session/Selection.h"

namespace {

// A file dialog asked for by a worker and shown on the user-interface thread.
struct PendingDialog {
  std::mutex mutex;  // guards done and path
  std::condition_variable answered;
  bool done = false;
  std::optional<std::string> path;
  std::atomic<bool> abandoned{false};  // the worker stopped waiting
};

// The retrieve worker's dialog runs on the user-interface thread; the worker
// waits, and gives up as soon as its request is closed (Cancel, or the
// window closing), so a close never waits on a dialog nobody will show.
// The window outlives every worker (it waits for the running one before it
// goes), and a queued call to a window that is gone is never delivered.
StoreFileAsker AskOnUiThread(CExplorerDlg& dlg) {
  CExplorerDlg* window = &dlg;
  return [window](const FileDialogRequest& request,
                  const HttpRequest& http) -> std::optional<std::string> {
    auto pending = std::make_shared<PendingDialog>();
    QMetaObject::invokeMethod(
        window,
        [window, pending, request] {
          std::optional<std::string> path;
          if (pending->abandoned.load()) {
            // Nobody waits for it any more.
          } else if (window->IsPresetStoreFile(request.initialPath)) {
            path = request.initialPath;  // a retrieve of several devices: named by the command
          } else {
            path = window->Ui().FileDialog(request);
          }
          std::lock_guard<std::mutex> guard(pending->mutex);
          pending->path = std::move(path);
          pending->done = true;
          pending->answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> guard(pending->mutex);
    while (!pending->done) {
      if (http.Closed()) {
        pending->abandoned.store(true);
        return std::nullopt;
      }
      pending->answered.wait_for(guard, std::chrono::milliseconds(50));
    }
    return pending->path;
  };
}

// The window whose dialogs the retrieve worker uses (user-interface thread
// only).
CExplorerDlg* g_wiredWindow = nullptr;

CQuillbox* RunningOf(const DeviceBatch& batch) {
  for (CQuillbox* q : batch.Unfinished())
    if (Operations().IsRunning(q)) return q;
  return nullptr;
}

int CommandOfKind(int32_t kind) {
  switch (kind) {
    case OPERATION_UPLOAD: return IDC_SET_CONFIGURATION;
    case OPERATION_RETRIEVE: return IDC_GET_CONFIGURATION;
    case OPERATION_UPGRADE: return IDC_UPGRADE_FIRMWARE;
    default: return 0;
  }
}

}  // namespace

void WireOperationQueue(CExplorerDlg& dlg) {
  WireOperationWorkers(AskOnUiThread(dlg));
  g_wiredWindow = &dlg;
}

void UnwireOperationQueue(CExplorerDlg& dlg) {
  if (g_wiredWindow != &dlg) return;
  // A retrieve queued later has no window to ask over: it is dropped
  // rather than run against one that is gone.
  ForgetStoreFileAsker();
  g_wiredWindow = nullptr;
}

void QueueOperation(CExplorerDlg& dlg, CQuillbox* q, int32_t kind) {
  // A dropped request (device without an address) must not leave a busy
  // display that only a report would end.
  if (!StartDeviceOperation(*q, kind, dlg) && !Operations().QueueBusy()) dlg.EndBusy();
}

std::string DeviceMacText(const CQuillbox& q) { return q.record ? FormatMac(q.record->mac()) : ""; }

void BeginOperationBusy(CExplorerDlg& dlg, const CQuillbox& q, int32_t kind) {
  dlg.BeginBusy(OperationBudgetMs(kind), OperationStatusText(kind, DeviceMacText(q)));
}

namespace {

// Queues `kind` for each device in turn; the devices queued. A device whose
// own worker runs is left out (it gets no second one).
std::vector<CQuillbox*> QueueEach(CExplorerDlg& dlg, const std::vector<CQuillbox*>& devices, int32_t kind,
                                  const std::function<void(CQuillbox&)>& prepare) {
  std::vector<CQuillbox*> queued;
  for (CQuillbox* q : devices) {
    if (Operations().IsRunning(q) || !dlg.Devices().Contains(q)) continue;
    prepare(*q);
    BeginOperationBusy(dlg, *q, kind);
    QueueOperation(dlg, q, kind);
    queued.push_back(q);
  }
  return queued;
}

}  // namespace

void StartBatch(CExplorerDlg& dlg, int32_t kind, std::vector<CQuillbox*> queued) {
  dlg.Batch().Start(kind, std::move(queued));
  // The device that runs now, not the last one queued.
  for (CQuillbox* q : dlg.Batch().Unfinished()) {
    if (Operations().IsRunning(q)) {
      dlg.ShowBatchStatus(*q);
      break;
    }
  }
}

void OnGetConfiguration(CExplorerDlg& dlg) {
  std::vector<CQuillbox*> selected = dlg.SelectedDevices();
  if (selected.size() > 1) {
    // One folder for all, one file per device named by its address.
    std::optional<std::string> folder =
        dlg.Ui().FolderDialog(STORE_FOLDER_TITLE, FolderOf(selected.front()->configPath));
    if (!folder) return;
    dlg.ForgetPresetStoreFiles();
    StartBatch(dlg, OPERATION_RETRIEVE, QueueEach(dlg, selected, OPERATION_RETRIEVE, [&](CQuillbox& q) {
                 if (!q.record) return;
                 q.configPath = StoreFileInFolder(*folder, q.record->mac());
                 dlg.PresetStoreFile(q.configPath);
               }));
    return;
  }
  CQuillbox* q = dlg.SelectedDevice();
  // A device whose own transfer runs gets no second one.
  if (!q || Operations().IsRunning(q)) return;
  BeginOperationBusy(dlg, *q, OPERATION_RETRIEVE);
  QueueOperation(dlg, q, OPERATION_RETRIEVE);
}

void OnSetConfiguration(CExplorerDlg& dlg) {
  std::vector<CQuillbox*> selected = dlg.SelectedDevices();
  CQuillbox* q = selected.empty() ? nullptr : selected.front();
  if (!q || (selected.size() == 1 && Operations().IsRunning(q))) return;
  std::optional<std::string> path = dlg.Ui().FileDialog(LoadDialogRequest(q->configPath));
  if (!path) return;
  if (selected.size() > 1) {
    // One file, sent to each.
    StartBatch(dlg, OPERATION_UPLOAD,
               QueueEach(dlg, selected, OPERATION_UPLOAD, [&](CQuillbox& d) { d.configPath = *path; }));
    return;
  }
  // A report handled while the dialog was open may have started this
  // device's waiting operation: its worker now reads configPath.
  if (Operations().IsRunning(q)) return;
  q->configPath = *path;
  BeginOperationBusy(dlg, *q, OPERATION_UPLOAD);
  QueueOperation(dlg, q, OPERATION_UPLOAD);
}

void OnOperationDone(CExplorerDlg& dlg, int32_t result, CQuillbox* q) {
  // A report of a worker that was already waited for (window closing)
  // refers to nothing that is still there.
  if (!Operations().AcceptReport(q)) return;
  OperationEnd end;
  end.kind = q->operation ? q->operation->kind : -1;
  end.run.result = result;
  end.errorText = q->errorText;
  const Outcome outcome = OutcomeOf(end);
  DeviceBatch& batch = dlg.Batch();
  const bool inBatch = batch.Several() && batch.PositionOf(q) > 0 && batch.Kind() == end.kind;
  if (inBatch) batch.Finished(q);
  switch (outcome.kind) {
    case OutcomeKind::Success:
      dlg.EndBusy();
      dlg.Ui().MessageBox(outcome.text, "Operation Success", BoxIcon::None);
      break;
    case OutcomeKind::WrongPassword: {
      dlg.EndBusy();
      int command = CommandOfKind(end.kind);
      std::optional<PasswordAnswer> answer = dlg.Ui().PasswordPrompt(
          FormatIp(q->record ? q->record->ip() : 0), DeviceMacText(*q), inBatch && batch.OthersUnfinished(q));
      const std::optional<std::string> typed = answer ? std::optional<std::string>(answer->password) : std::nullopt;
      if (!ReplaceRefusedPassword(*q, typed) || !command) break;
      if (!inBatch) {
        // One device: the whole command again, its file dialog included.
        dlg.PostCommand(command);
        break;
      }
      // A batch: the others that have not finished go on as queued (with
      // this password when the user said so); only this device runs again,
      // with the file it was given, and no dialog.
      if (answer->forOtherSelected)
        for (CQuillbox* other : batch.Unfinished()) ReplaceRefusedPassword(*other, typed);
      batch.Again(q);
      Operations().FinishOperation(q);
      QueueOperation(dlg, q, end.kind);
      if (Operations().IsRunning(q)) dlg.ShowBatchStatus(*q);
      else if (CQuillbox* next = RunningOf(batch)) dlg.ShowBatchStatus(*next);
      return;
    }
    case OutcomeKind::Cancelled:
    case OutcomeKind::TimedOut:
    case OutcomeKind::Closed:
      dlg.EndBusy();
      break;
    case OutcomeKind::Failed:
      dlg.EndBusy();
      dlg.Ui().MessageBox(outcome.reportedText, "Operation Failure", BoxIcon::Stop);
      break;
  }
  Operations().FinishOperation(q);
  // The next device of the batch runs now: the status line says which.
  if (inBatch) {
    if (CQuillbox* next = RunningOf(batch)) dlg.ShowBatchStatus(*next);
    if (batch.Unfinished().empty()) {
      batch.Clear();
      dlg.ForgetPresetStoreFiles();
    }
  }
}

bool QueueBusy() { return Operations().QueueBusy(); }

bool WorkerExists() { return Operations().HasWorker(); }

void CancelAllOperations() { Operations().CancelAllOperations(); }

void WaitForRunningOperation() { Operations().WaitForRunningOperation(); }
