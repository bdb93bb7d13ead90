#pragma once
// The network parameters dialog with its two address entry controls.
#include "explorer/app/ModalUi.h"

class QWidget;

// Runs the dialog modally over `parent`; octet errors are reported through
// `ui`. True on OK, with `data` holding the entered values.
bool RunNetworkDialog(QWidget* parent, ModalUi& ui, NetworkDialogData& data);
