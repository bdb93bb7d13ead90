// Placeholder until the scan and network-parameter commands land.
#include "explorer/protocol/ui/ProtocolCommands.h"

void Scan(CExplorerDlg&) {}
void OnSetIpAddress(CExplorerDlg&) {}
void OnTestConnection(CExplorerDlg&) {}
bool IsReachable(CExplorerDlg&, const DeviceRecord&) { return false; }
