// Runs the program's start-up with a recording ModalUi and prints what
// happened, one fact a line; the start-up test runs it with different
// library search paths.
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "support/ScriptedUi.h"
#include "explorer/app/ExplorerApp.h"
#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/QtThreadPool.h"
#include "explorer/upgrade/UpgradeLibrary.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ScriptedUi ui;
  int code = 0;
  {
    CExplorerApp explorerApp(ui, CExplorerApp::AppNameFromPath(argv[0]));
    const bool started = explorerApp.InitInstance();
    for (const auto& box : ui.boxes)
      std::printf("BOX icon=%d caption=%s text=%s\n", static_cast<int>(box.icon), box.caption.c_str(),
                  box.text.c_str());
    const UpgradeLibraryBinding& b = UpgradeLibrary();
    std::printf("BOUND handle=%d Upgrade=%d GetLastError=%d Cancel=%d WaitForFile=%d\n", b.handle != nullptr,
                b.Upgrade != nullptr, b.GetLastError != nullptr, b.Cancel != nullptr, b.WaitForFile != nullptr);
    // Asking again must give the same verdict, not a success.
    std::printf("REBIND %d\n", static_cast<int>(BindUpgradeLibrary()));
    if (started) {
      explorerApp.RunMainWindow([](CExplorerDlg& dlg) {
        std::printf("MAIN WINDOW %s\n", dlg.windowTitle().toStdString().c_str());
        QTimer::singleShot(0, &dlg, [&dlg] { dlg.done(0); });
      });
    } else {
      code = 3;
    }
    explorerApp.ExitInstance();
    std::printf("RELEASED %d\n", UpgradeLibrary().handle == nullptr);
  }
  SettleQtThreadPool();
  std::fflush(stdout);
  return code;
}
