// The interactive ModalUi: each request opens the right Qt dialog and
// hands back what the user did in it.
#include <gtest/gtest.h>

#include <QCheckBox>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include <QDir>
#include <QFileSystemModel>
#include <fstream>

#include "explorer/app/PasswordDlg.h"
#include "explorer/app/QtModalUi.h"
#include "explorer/app/UpgradeCommand.h"
#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/Quillbox.h"

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

TEST(QtModalUi, MessageBoxesShowTheirTextAsItIsNeverAsMarkup) {
  // A reply line of a device, a file name: both look like markup.
  for (const char* text : {"550 <b>release.pak</b>: Permission denied",
                           "/tmp/<i>cfg</i>&amp;.txt was not found."}) {
    Qt::TextFormat format = Qt::AutoText;
    QString seenText;
    WhenModalOpens([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        format = box->textFormat();
        seenText = box->text();
      }
      w->close();
    });
    QtModalUi ui;
    ui.MessageBox(text, "Operation Failure", BoxIcon::Stop);
    EXPECT_EQ(format, Qt::PlainText) << text;
    EXPECT_EQ(seenText.toStdString(), text);
  }
}

// The details sit under "Show Details...", plain text like the box's own;
// a box without them has no such button.
TEST(QtModalUi, ADetailedBoxKeepsItsTextAndCarriesTheDetails) {
  QString seenText, seenDetails = "unset";
  QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
  WhenModalOpens([&](QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      seenText = box->text();
      seenDetails = box->detailedText();
      seenIcon = box->icon();
    }
    w->close();
  });
  QtModalUi ui;
  const std::string details = "  qla: up, <b>carrier</b>\n  1. sudo nft insert rule inet t in udp sport 8375 accept\n";
  ui.DetailedMessageBox("No Osprey Panels found", "Error", BoxIcon::Exclamation, details);
  EXPECT_EQ(seenText, "No Osprey Panels found");
  EXPECT_EQ(seenIcon, QMessageBox::Warning);
  EXPECT_EQ(seenDetails.toStdString(), details);

  WhenModalOpens([&](QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w)) seenDetails = box->detailedText();
    w->close();
  });
  ui.MessageBox("No Osprey Panels found", "Error", BoxIcon::Exclamation);
  EXPECT_TRUE(seenDetails.isEmpty());
}

// A folder with a file whose name has no dot, one that has, and a name that
// is not there.
struct ImageFolder {
  ImageFolder() {
    fs::create_directories(dir);
    std::ofstream(dir / "firmware") << "image";
    std::ofstream(dir / "notes.txt") << "text";
  }
  ~ImageFolder() { fs::remove_all(dir); }
  const fs::path dir = fs::temp_directory_path() / ("app_files_" + std::to_string(getpid()));
};

TEST(QtModalUi, AllFilesOffersEveryFileInEveryFileDialog) {
  ImageFolder folder;
  CQuillbox device;
  device.firmwarePath = (folder.dir / "x.pak").string();
  const struct {
    const char* what;
    FileDialogRequest request;
  } cases[] = {
      {"store configuration", StoreDialogRequest((folder.dir / "x.txt").string())},
      {"load configuration", LoadDialogRequest((folder.dir / "x.txt").string())},
      {"upgrade image", UpgradeDialogRequest(device)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QStringList offered;
    bool allFiles = false;
    WhenModalOpens([&](QWidget* w) {
      auto* dialog = qobject_cast<QFileDialog*>(w);
      if (dialog) {
        for (const QString& filter : dialog->nameFilters()) {
          if (!filter.startsWith("All Files")) continue;
          allFiles = true;
          dialog->selectNameFilter(filter);
          // The dialog lists what its model's patterns match.
          if (auto* model = dialog->findChild<QFileSystemModel*>())
            offered = QDir(QString::fromStdString(folder.dir.string()))
                          .entryList(model->nameFilters(), QDir::Files);
        }
      }
      static_cast<QDialog*>(w)->reject();
    });
    QtModalUi ui;
    EXPECT_FALSE(ui.FileDialog(c.request).has_value());
    EXPECT_TRUE(allFiles);
    EXPECT_TRUE(offered.contains("firmware")) << offered.join(",").toStdString();
    EXPECT_TRUE(offered.contains("notes.txt")) << offered.join(",").toStdString();
  }
}

TEST(QtModalUi, ImageDialogTakesATypedNameOfAFileThatIsNotThere) {
  // The library reports a missing image; the dialog does not refuse it.
  ImageFolder folder;
  CQuillbox device;
  device.firmwarePath = (folder.dir / "next-release.pak").string();
  // Were the name refused, a box would say so over the dialog: close both.
  // The watch lives as long as the test.
  bool refused = false;
  QTimer watch;
  watch.setInterval(20);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    refused = true;
    box->close();
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* fileDialog = qobject_cast<QFileDialog*>(w); fileDialog && fileDialog->isVisible())
        QTimer::singleShot(0, fileDialog, &QDialog::reject);
  });
  watch.start();
  WhenModalOpens([&](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    QMetaObject::invokeMethod(dialog, "accept");
  });
  QtModalUi ui;
  const auto chosen = ui.FileDialog(UpgradeDialogRequest(device));
  EXPECT_FALSE(refused);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(*chosen, (folder.dir / "next-release.pak").string());
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
  std::optional<PasswordAnswer> typed = ui.PasswordPrompt("10.0.0.5", "00:C0:3A:01:02:0F", false);
  ASSERT_TRUE(typed.has_value());
  EXPECT_EQ(typed->password, "typed");
  EXPECT_FALSE(typed->forOtherSelected);

  WhenModalOpens([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  EXPECT_FALSE(ui.PasswordPrompt("10.0.0.5", "00:C0:3A:01:02:0F", false).has_value());

  // With other selected devices waiting, the check box passes the password on.
  WhenModalOpens([](QWidget* w) {
    auto* dlg = qobject_cast<CPasswordDlg*>(w);
    ASSERT_NE(dlg, nullptr);
    auto* box = qobject_cast<QCheckBox*>(dlg->Control(IDC_PASSWORD_FOR_OTHERS));
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(box->text(), "Use this password for the other selected devices");
    box->setChecked(true);
    static_cast<QLineEdit*>(dlg->Control(IDC_PASSWORD_EDIT))->setText("shared");
    dlg->accept();
  });
  typed = ui.PasswordPrompt("10.0.0.5", "00:C0:3A:01:02:0F", true);
  ASSERT_TRUE(typed.has_value());
  EXPECT_EQ(typed->password, "shared");
  EXPECT_TRUE(typed->forOtherSelected);
}

TEST(QtModalUi, QuestionIsYesOrNo) {
  QtModalUi ui;
  WhenModalOpens([](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Use a.pak for the other 2 selected devices?");
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_TRUE(ui.Question("Use a.pak for the other 2 selected devices?", "Upgrade firmware"));
  WhenModalOpens([](QWidget* w) { qobject_cast<QMessageBox*>(w)->button(QMessageBox::No)->click(); });
  EXPECT_FALSE(ui.Question("Use a.pak for the other 2 selected devices?", "Upgrade firmware"));
}

}  // namespace
