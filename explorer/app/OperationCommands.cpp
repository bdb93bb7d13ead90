#include "explorer/app/OperationCommands.h"

#include <QMetaObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

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
          if (!pending->abandoned.load()) path = window->Ui().FileDialog(request);
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

void OnGetConfiguration(CExplorerDlg& dlg) {
  CQuillbox* q = dlg.SelectedDevice();
  // A device whose own transfer runs gets no second one.
  if (!q || Operations().IsRunning(q)) return;
  BeginOperationBusy(dlg, *q, OPERATION_RETRIEVE);
  QueueOperation(dlg, q, OPERATION_RETRIEVE);
}

void OnSetConfiguration(CExplorerDlg& dlg) {
  CQuillbox* q = dlg.SelectedDevice();
  if (!q || Operations().IsRunning(q)) return;
  std::optional<std::string> path = dlg.Ui().FileDialog(LoadDialogRequest(q->configPath));
  // A report handled while the dialog was open may have started this
  // device's waiting operation: its worker now reads configPath.
  if (!path || Operations().IsRunning(q)) return;
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
  switch (outcome.kind) {
    case OutcomeKind::Success:
      dlg.EndBusy();
      dlg.Ui().MessageBox(outcome.text, "Operation Success", BoxIcon::None);
      break;
    case OutcomeKind::WrongPassword: {
      dlg.EndBusy();
      int command = CommandOfKind(q->operation ? q->operation->kind : -1);
      std::optional<std::string> password =
          dlg.Ui().PasswordPrompt(FormatIp(q->record ? q->record->ip() : 0), DeviceMacText(*q));
      if (ReplaceRefusedPassword(*q, password) && command) dlg.PostCommand(command);
      break;
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
}

bool QueueBusy() { return Operations().QueueBusy(); }

bool WorkerExists() { return Operations().HasWorker(); }

void CancelAllOperations() { Operations().CancelAllOperations(); }

void WaitForRunningOperation() { Operations().WaitForRunningOperation(); }
