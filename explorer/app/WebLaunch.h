#pragma once
// Opening a device's own configuration client: the web browser at
// "http://<ip>", or the desktop's telnet handler for the telnet-only kinds.
#include <QCoro/QCoroTask>
#include <string>

#include "explorer/protocol/DeviceMessages.h"

class CExplorerDlg;
class ModalUi;

constexpr size_t MAX_BROWSER_PATH = 200;
// The user guide, installed beside the program.
constexpr const char* HELP_FILE_NAME = "explorer-guide.html";

// The main window's default command and the double-click on a row.
QCoro::Task<> OnWebConfiguration(CExplorerDlg& dlg);
// Probes the device; when it cannot be reached, opens the network
// parameters dialog instead and returns false.
QCoro::Task<bool> CheckBeforeConfigure(CExplorerDlg& dlg, DeviceRecord record);
// The user's browser: the first entry of $BROWSER, else the desktop opener
// "xdg-open" when it is on the PATH. False when there is none.
bool FindDefaultBrowser(std::string& path);
// The address handed to the client for this record ("http://..." or
// "telnet://...").
std::string ConfigurationAddress(const DeviceRecord& record);
// The busy display's text while the device is probed before the launch.
std::string WebProbeStatusText();
// The guide beside the running program.
std::string HelpFilePath();
// Shows the guide at `path` in the user's browser, found as for the web
// configuration; every failure is told in a box.
void ShowHelpFile(ModalUi& ui, const std::string& path);
