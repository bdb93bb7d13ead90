// The interactive ModalUi: each request opens the right Qt dialog and
// hands back what the user did in it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include "explorer/app/PasswordDlg.h"
#include "explorer/app/QtModalUi.h"

namespace fs = std::filesystem;

namespace {

// Acts on the modal dialog once it is open (bounded: gives up after 5 s).
void WhenModalOpens(std::function<void(QWidget*)> act, int triesLeft = 250) {
  QTimer::singleShot(20, [act, triesLeft] {
    if (QWidget* w = QApplication::activeModalWidget()) {
      act(w);
    } else if (triesLeft > 0) {
      WhenModalOpens(act, triesLeft - 1);
    }
  });
}

TEST(QtModalUi, MessageBoxesCarryTheirIconTextAndCaption) {
  QtModalUi ui;
  struct Case {
    BoxIcon icon;
    QMessageBox::Icon expected;
  } cases[] = {{BoxIcon::Stop, QMessageBox::Critical},
               {BoxIcon::Exclamation, QMessageBox::Warning},
               {BoxIcon::Information, QMessageBox::Information},
               {BoxIcon::None, QMessageBox::NoIcon}};
  for (const Case& c : cases) {
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    QString seenText, seenCaption;
    bool seen = false;
    WhenModalOpens([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        seen = true;
        seenIcon = box->icon();
        seenText = box->text();
        seenCaption = box->windowTitle();
      }
      w->close();
    });
    ui.MessageBox("QUILLBOX.DLL not found", "explorer", c.icon);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seenIcon, c.expected);
    EXPECT_EQ(seenText, "QUILLBOX.DLL not found");
    EXPECT_EQ(seenCaption, "explorer");
  }
}

TEST(QtModalUi, SaveDialogAddsTheDefaultSuffixAndCancelGivesNothing) {
  QtModalUi ui;
  const fs::path dir = fs::temp_directory_path() / ("app_modal_" + std::to_string(getpid()));
  fs::create_directories(dir);
  FileDialogRequest request;
  request.save = true;
  request.title = "Save configuration";
  request.filter = "Text files (*.txt);;All files (*)";
  request.defaultSuffix = "txt";
  request.initialPath = (dir / "ConfigFile").string();

  QString title;
  WhenModalOpens([&](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    title = dialog->windowTitle();
    QMetaObject::invokeMethod(dialog, "accept");
  });
  const auto chosen = ui.FileDialog(request);
  EXPECT_EQ(title, "Save configuration");
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(*chosen, (dir / "ConfigFile.txt").string());

  WhenModalOpens([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  EXPECT_FALSE(ui.FileDialog(request).has_value());
  fs::remove_all(dir);
}

TEST(QtModalUi, PasswordPromptReturnsTheTypedTextOrNothing) {
  QtModalUi ui;
  WhenModalOpens([](QWidget* w) {
    auto* dlg = qobject_cast<CPasswordDlg*>(w);
    ASSERT_NE(dlg, nullptr);
    static_cast<QLineEdit*>(dlg->Control(IDC_PASSWORD_EDIT))->setText("typed");
    dlg->accept();
  });
  EXPECT_EQ(ui.PasswordPrompt("10.0.0.5", "00:C0:3A:01:02:0F"), std::optional<std::string>("typed"));

  WhenModalOpens([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  EXPECT_FALSE(ui.PasswordPrompt("10.0.0.5", "00:C0:3A:01:02:0F").has_value());
}

}  // namespace
