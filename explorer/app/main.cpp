// The explorer program.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "explorer/app/ExplorerApp.h"
#include "explorer/app/ExplorerDlg.h"
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
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);

  // --screenshot FILE: scan once, save a picture of the window, exit.
  std::string screenshot;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--screenshot") == 0) screenshot = argv[i + 1];
  }

  QtModalUi interactiveUi;
  UnattendedUi unattendedUi;
  QtModalUi& ui = screenshot.empty() ? interactiveUi : unattendedUi;

  CExplorerApp explorerApp(ui, CExplorerApp::AppNameFromPath(argc > 0 ? argv[0] : "explorer"));
  if (!explorerApp.InitInstance()) return 1;

  const int status = explorerApp.RunMainWindow([&](CExplorerDlg& dlg) {
    ui.SetOwner(&dlg);
    if (screenshot.empty()) return;
    QTimer::singleShot(500, &dlg, [&dlg, screenshot] {
      static_cast<QPushButton*>(dlg.Control(IDC_SCAN))->click();
      // Show a row selected as a user would pick it: the first device that
      // offers every action.
      CDeviceListView& list = dlg.DeviceList();
      for (int row = 0; row < list.topLevelItemCount(); ++row) {
        list.setCurrentItem(list.topLevelItem(row));
        dlg.UpdateActionButtons();
        if (dlg.Control(IDC_UPGRADE_FIRMWARE)->isEnabled()) break;
      }
      QCoreApplication::processEvents();
      const bool saved = dlg.grab().save(QString::fromStdString(screenshot));
      std::fprintf(stderr, saved ? "screenshot saved to %s\n" : "cannot save screenshot %s\n",
                   screenshot.c_str());
      dlg.done(saved ? QDialog::Rejected : 2);
    });
  });
  SettleQtThreadPool();
  return status;
}
