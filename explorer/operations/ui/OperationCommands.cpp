// Placeholder until the operation queue lands.
#include "explorer/operations/ui/OperationCommands.h"

void OnGetConfiguration(CExplorerDlg&) {}
void OnSetConfiguration(CExplorerDlg&) {}
void OnUpgradeFirmware(CExplorerDlg&) {}
void OnOperationDone(CExplorerDlg&, int32_t, CQuillbox*) {}
bool QueueBusy() { return false; }
void CancelAllOperations() {}
void WaitForRunningOperation() {}
