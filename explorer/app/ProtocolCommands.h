#pragma once
// Device-protocol commands of the main window. Each is a coroutine on the
// user-interface thread: it runs up to its exchange, which goes on on the
// window's exchange thread, and resumes from the event loop with the
// result; every result is shown by the command itself.
#include <QCoro/QCoroTask>

#include "explorer/protocol/DeviceMessages.h"

class CExplorerDlg;

QCoro::Task<> Scan(CExplorerDlg& dlg);              // "Scan" (1010)
QCoro::Task<> OnSetIpAddress(CExplorerDlg& dlg);    // "Set IP address" (1036); also the web launch's fallback
QCoro::Task<> OnTestConnection(CExplorerDlg& dlg);  // "Test connection" (1033)
// TCP reachability of a device: port 23 for the telnet-only kinds, 80 otherwise,
// within 2000 ms; a device whose IP address is duplicated fails at once.
QCoro::Task<bool> IsReachable(CExplorerDlg& dlg, DeviceRecord record);
