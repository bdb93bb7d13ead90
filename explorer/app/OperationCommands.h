#pragma once
// The configuration commands of the main window and the process-wide
// operation queue as the window reaches it. All run on the user-interface
// thread.
#include <cstdint>
#include <string>
#include <vector>

#include "explorer/session/Operations.h"

class CExplorerDlg;
class CQuillbox;

void OnGetConfiguration(CExplorerDlg& dlg);  // button 1031
void OnSetConfiguration(CExplorerDlg& dlg);  // button 1032
// Handler of a worker's report (WM_OPERATION_DONE).
void OnOperationDone(CExplorerDlg& dlg, int32_t result, CQuillbox* q);

// Gives the queue its workers and the library's Cancel; the retrieve
// worker asks for its file over `dlg`. Once, when the window is made.
void WireOperationQueue(CExplorerDlg& dlg);
// The window is going: the queue no longer reaches it.
void UnwireOperationQueue(CExplorerDlg& dlg);
// The devices just queued for one command over several selected rows
// become the window's batch.
void StartBatch(CExplorerDlg& dlg, int32_t kind, std::vector<CQuillbox*> queued);
// Queues an operation of `kind` for q, owned by the window.
void QueueOperation(CExplorerDlg& dlg, CQuillbox* q, int32_t kind);
// The busy display of an operation of `kind` for q: its budget and text.
void BeginOperationBusy(CExplorerDlg& dlg, const CQuillbox& q, int32_t kind);
// The device's Ethernet address as shown to the user ("" without a record).
std::string DeviceMacText(const CQuillbox& q);

bool QueueBusy();
// A worker still exists (a cancelled one too, until its report is handled).
bool WorkerExists();
void CancelAllOperations();
// Before the window (and with it every CQuillbox) is destroyed: returns
// once no worker is running any more.
void WaitForRunningOperation();
