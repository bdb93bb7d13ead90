#pragma once
// "Upgrade firmware" (button 1030): asks for an image per selected device
// and queues one upgrade each. Runs on the user-interface thread.
class CExplorerDlg;

void OnUpgradeFirmware(CExplorerDlg& dlg);
