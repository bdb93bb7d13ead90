// The explorer program.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "explorer/app/CommandLine.h"
#include "explorer/app/ExplorerApp.h"
#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/ProtocolCommands.h"
#include "explorer/app/QtModalUi.h"
#include "explorer/app/QtThreadPool.h"

namespace {

// Unattended runs (a screenshot for the documentation) must not stop at a
// message box nobody will close: boxes go to standard error instead.
class UnattendedUi : public QtModalUi {
 public:
  void MessageBox(const std::string& text, const std::string& caption, BoxIcon) override {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  }
  void DetailedMessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                          const std::string& details) override {
    MessageBox(text, caption, icon);
    std::fprintf(stderr, "%s", details.c_str());
  }
};

// --screenshot: one scan, then the picture of the window with a row
// selected as a user would pick it: the first device that offers every
// action.
QCoro::Task<> ScanAndSave(CExplorerDlg& dlg, std::string screenshot) {
  co_await Scan(dlg);
  CDeviceListView& list = dlg.DeviceList();
  for (int row = 0; row < list.topLevelItemCount(); ++row) {
    list.setCurrentItem(list.topLevelItem(row));
    dlg.UpdateActionButtons();
    if (dlg.Control(IDC_UPGRADE_FIRMWARE)->isEnabled()) break;
  }
  // Queued behind whatever the selection has posted (repaints, the list's
  // layout), so the picture shows the window as it settles.
  QMetaObject::invokeMethod(
      &dlg,
      [&dlg, screenshot] {
        const bool saved = dlg.grab().save(QString::fromStdString(screenshot));
        std::fprintf(stderr, saved ? "screenshot saved to %s\n" : "cannot save screenshot %s\n",
                     screenshot.c_str());
        dlg.done(saved ? QDialog::Rejected : 1);
      },
      Qt::QueuedConnection);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string appName = CExplorerApp::AppNameFromPath(argc > 0 ? argv[0] : "explorer");
  // Answered before QApplication, which needs a display (or aborts).
  const ExplorerCommandLine commandLine =
      ParseExplorerCommandLine(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  switch (commandLine.action) {
    case ExplorerCommandLine::Action::Help:
    case ExplorerCommandLine::Action::Version: {
      const std::string text = commandLine.action == ExplorerCommandLine::Action::Help
                                   ? ExplorerUsage(appName)
                                   : ExplorerVersion();
      if (WriteAllOut(stdout, text)) return 0;
      std::fprintf(stderr, "%s: cannot write to standard output: %s\n", appName.c_str(),
                   std::strerror(errno));
      return 1;
    }
    case ExplorerCommandLine::Action::UsageError:
      WriteAllOut(stderr, ExplorerUsageError(appName, commandLine.error));
      return 2;
    case ExplorerCommandLine::Action::Run:
      break;
  }

  QApplication app(argc, argv);

  // --screenshot FILE: scan once, save a picture of the window, exit.
  const std::string screenshot = commandLine.screenshot;

  QtModalUi interactiveUi;
  UnattendedUi unattendedUi;
  QtModalUi& ui = screenshot.empty() ? interactiveUi : unattendedUi;

  CExplorerApp explorerApp(ui, appName);
  if (!explorerApp.InitInstance()) return 1;

  const int status = explorerApp.RunMainWindow([&](CExplorerDlg& dlg) {
    ui.SetOwner(&dlg);
    if (screenshot.empty()) return;
    QTimer::singleShot(500, &dlg, [&dlg, screenshot] { auto saving = ScanAndSave(dlg, screenshot); });
  });
  SettleQtThreadPool();
  return status;
}
