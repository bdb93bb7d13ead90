#include "explorer/app/ExplorerApp.h"

#include <cerrno>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/res/Strings.h"
#include "explorer/upgrade/UpgradeLibrary.h"
#include "net/Socket.h"

CExplorerApp::CExplorerApp(ModalUi& ui, std::string appName) : ui_(ui), appName_(std::move(appName)) {}

CExplorerApp::~CExplorerApp() { ExitInstance(); }

std::string CExplorerApp::AppNameFromPath(const std::string& programPath) {
  const size_t slash = programPath.find_last_of('/');
  std::string name = slash == std::string::npos ? programPath : programPath.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

bool CExplorerApp::InitInstance() {
  if (!SocketLayerAvailable()) {
    ui_.MessageBox(LoadResString(IDS_SOCKETS_INIT_FAILED), appName_, BoxIcon::None);
    return false;
  }
  const int32_t status = BindUpgradeLibrary();
  if (status != 0) {
    ui_.MessageBox(BindingFailureText(status), appName_, BoxIcon::Stop);
    return false;
  }
  return true;
}

int CExplorerApp::RunMainWindow(const std::function<void(CExplorerDlg&)>& onCreated) {
  CExplorerDlg dlg(ui_);
  if (onCreated) onCreated(dlg);
  // Closing the window is the normal end (0); anything else was asked for
  // by whoever prepared the window.
  return dlg.exec();
}

void CExplorerApp::ExitInstance() {
  if (exited_) return;
  exited_ = true;
  // The main window is gone and its destructor waited for the last worker,
  // so nothing can be inside the library any more.
  ReleaseUpgradeLibrary();
}

bool SocketLayerAvailable() {
  // Linux needs no socket start-up; what can be detected is a kernel
  // without IPv4 datagram sockets. Other failures (no free descriptors)
  // pass: they are reported by the exchange that meets them.
  net::Socket probe;
  const int rc = probe.OpenUdp();
  return rc != EAFNOSUPPORT && rc != EPROTONOSUPPORT;
}
