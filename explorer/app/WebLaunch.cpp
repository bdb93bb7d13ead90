#include "explorer/app/WebLaunch.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/ProcessLauncher.h"
#include "explorer/app/ProtocolCommands.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/DeviceKinds.h"
#include "explorer/res/Strings.h"

namespace {

constexpr const char* kDesktopOpener = "xdg-open";
// Fills the program-name position of the started client's argument vector.
constexpr const char* kClientArgv0 = "netscape";
constexpr int WEB_PROBE_MS = 2000;

bool OnSearchPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string dirs(path);
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string LaunchFailureText(const LaunchResult& r) {
  char code[16];
  std::snprintf(code, sizeof code, "%d: ", r.result);
  return std::string(code) + std::strerror(r.error);
}

}  // namespace

std::string ConfigurationAddress(const DeviceRecord& record) {
  return (IsTelnetOnlyKind(record.kind()) ? "telnet://" : "http://") + FormatIp(record.ip());
}

std::string WebProbeStatusText() { return "Attempting to connect to the " + LoadBrandString(IDS_DEVICE_NAME); }

bool FindDefaultBrowser(std::string& path) {
  path.clear();
  if (const char* browser = std::getenv("BROWSER")) {
    // $BROWSER may list several programs separated by colons; the first
    // usable one is the user's choice.
    std::string list(browser);
    size_t start = 0;
    while (start < list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      std::string entry = list.substr(start, end - start);
      start = end + 1;
      if (entry.empty()) continue;
      // A path cut short would start some other program: too long counts as none.
      if (entry.size() > MAX_BROWSER_PATH) return false;
      path = entry;
      return true;
    }
  }
  if (OnSearchPath(kDesktopOpener)) {
    path = kDesktopOpener;
    return true;
  }
  return false;
}

QCoro::Task<bool> CheckBeforeConfigure(CExplorerDlg& dlg, DeviceRecord record) {
  dlg.BeginBusy(WEB_PROBE_MS, WebProbeStatusText());
  const bool reachable = co_await IsReachable(dlg, record);
  // The user asked to stop: no network dialog pops up in place of the
  // client. (A worker's report may also have ended the busy display
  // meanwhile; that is no Cancel.)
  const bool cancelled = dlg.ExchangeCancelled();
  dlg.EndBusy();
  if (cancelled) co_return false;
  if (!reachable) {
    co_await OnSetIpAddress(dlg);
    co_return false;
  }
  co_return true;
}

QCoro::Task<> OnWebConfiguration(CExplorerDlg& dlg) {
  CQuillbox* q = dlg.SelectedDevice();
  if (!q) co_return;
  if (!q->record) {
    dlg.Ui().MessageBox("Invalid selection", "Configure failed", BoxIcon::Exclamation);
    co_return;
  }
  // A copy: the window goes on during the probe, and its rows with it.
  const DeviceRecord record = *q->record;
  if (!co_await CheckBeforeConfigure(dlg, record)) co_return;

  const std::string address = ConfigurationAddress(record);
  if (IsTelnetOnlyKind(record.kind())) {
    const LaunchResult r = StartProgram(kDesktopOpener, {kClientArgv0, address});
    if (r.result != 0)
      dlg.Ui().MessageBox(std::string("Unable to load ") + kDesktopOpener + " for " + address + "\n" +
                              LaunchFailureText(r),
                          "Error", BoxIcon::Exclamation);
    co_return;
  }

  std::string browser;
  if (!FindDefaultBrowser(browser)) {
    dlg.Ui().MessageBox("Unable to find default browser", "Error", BoxIcon::Exclamation);
    co_return;
  }
  const LaunchResult r = StartProgram(browser, {kClientArgv0, address});
  if (r.result != 0)
    dlg.Ui().MessageBox("Unable to load " + browser + "\n" + LaunchFailureText(r), "Error",
                        BoxIcon::Exclamation);
}

std::string HelpFilePath() {
  return QCoreApplication::applicationDirPath().toStdString() + "/" + HELP_FILE_NAME;
}

void ShowHelpFile(ModalUi& ui, const std::string& path) {
  constexpr const char* kCaption = "Help";
  // Handed on, a missing file would fail in the browser or not at all.
  if (access(path.c_str(), R_OK) != 0) {
    ui.MessageBox("Unable to find the help file " + path, kCaption, BoxIcon::Exclamation);
    return;
  }
  std::string browser;
  if (!FindDefaultBrowser(browser)) {
    ui.MessageBox(std::string("Unable to open the help: ") + kDesktopOpener +
                      " was not found and BROWSER is not set.\n"
                      "Install xdg-utils or set BROWSER to your web browser.",
                  kCaption, BoxIcon::Exclamation);
    return;
  }
  const std::string url =
      QUrl::fromLocalFile(QString::fromStdString(path)).toString(QUrl::FullyEncoded).toStdString();
  const LaunchResult r = StartProgram(browser, {browser, url});
  if (r.result != 0)
    ui.MessageBox("Unable to load " + browser + "\n" + LaunchFailureText(r), kCaption, BoxIcon::Exclamation);
}
