// Placeholder until the network parameters dialog lands.
#include "explorer/protocol/ui/NetworkDlg.h"

bool RunNetworkDialog(QWidget*, ModalUi&, NetworkDialogData&) { return false; }
