#pragma once
// "Upgrade firmware" (button 1030): asks for an image per selected device
// and queues one upgrade each. Runs on the user-interface thread.
#include <string>

class CExplorerDlg;

void OnUpgradeFirmware(CExplorerDlg& dlg);
// The busy display's text while the device with this Ethernet address
// text is upgraded.
std::string UpgradeStatusText(const std::string& macText);
