#pragma once
// Device-protocol commands of the main window; all run on the
// user-interface thread and show their results themselves.
class CExplorerDlg;
struct DeviceRecord;

void Scan(CExplorerDlg& dlg);              // "Scan" (1010)
void OnSetIpAddress(CExplorerDlg& dlg);    // "Set IP address" (1036); also the web launch's fallback
void OnTestConnection(CExplorerDlg& dlg);  // "Test connection" (1033)
// TCP reachability of a device: port 23 for the telnet-only kinds, 80 otherwise,
// within 2000 ms; a device whose IP address is duplicated fails at once.
bool IsReachable(CExplorerDlg& dlg, const DeviceRecord& record);
