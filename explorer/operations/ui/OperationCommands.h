#pragma once
// The long operations (configuration retrieve/upload, firmware upgrade) as
// the main window reaches them. All run on the user-interface thread.
#include <cstdint>

class CExplorerDlg;
class CQuillbox;

void OnGetConfiguration(CExplorerDlg& dlg);  // button 1031
void OnSetConfiguration(CExplorerDlg& dlg);  // button 1032
void OnUpgradeFirmware(CExplorerDlg& dlg);   // button 1030
// Handler of a worker's report (WM_OPERATION_DONE).
void OnOperationDone(CExplorerDlg& dlg, int32_t result, CQuillbox* q);
bool QueueBusy();
void CancelAllOperations();
// Before the window (and with it every CQuillbox) is destroyed: returns
// once no worker is running any more.
void WaitForRunningOperation();
