#pragma once
// "Upgrade firmware" (button 1030): asks for an image per selected device
// and queues one upgrade each. Runs on the user-interface thread.
#include <string>

#include "explorer/operations/ConfigTransfer.h"
#include "explorer/session/Operations.h"

class CExplorerDlg;
class CQuillbox;

void OnUpgradeFirmware(CExplorerDlg& dlg);
// The image dialog for q: an open dialog offering "*.pak" first, then
// every file.
FileDialogRequest UpgradeDialogRequest(const CQuillbox& q);
