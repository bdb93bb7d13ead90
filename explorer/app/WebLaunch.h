#pragma once
// Opening a device's own configuration client: the web browser at
// "http://<ip>", or the desktop's telnet handler for the telnet-only kinds.
#include <string>

class CExplorerDlg;
struct DeviceRecord;

constexpr size_t MAX_BROWSER_PATH = 200;

// The main window's default command and the double-click on a row.
void OnWebConfiguration(CExplorerDlg& dlg);
// Probes the device; when it cannot be reached, opens the network
// parameters dialog instead and returns false.
bool CheckBeforeConfigure(CExplorerDlg& dlg, const DeviceRecord& record);
// The user's browser: the first entry of $BROWSER, else the desktop opener
// "xdg-open" when it is on the PATH. False when there is none.
bool FindDefaultBrowser(std::string& path);
// The address handed to the client for this record ("http://..." or
// "telnet://...").
std::string ConfigurationAddress(const DeviceRecord& record);
