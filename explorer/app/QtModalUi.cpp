#include "explorer/app/TargetsDlg.h"
#include "explorer/app/QtModalUi.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "explorer/app/PasswordDlg.h"
#include "explorer/protocol/ui/NetworkDlg.h"

QWidget* QtModalUi::Owner() const {
  if (owner_) return owner_.data();
  return QApplication::activeWindow();
}

void QtModalUi::MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
  ShowBox(text, caption, icon, "");
}

void QtModalUi::DetailedMessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                                   const std::string& details) {
  ShowBox(text, caption, icon, details);
}

void QtModalUi::ShowBox(const std::string& text, const std::string& caption, BoxIcon icon,
                        const std::string& details) {
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  switch (icon) {
    case BoxIcon::Exclamation: qicon = QMessageBox::Warning; break;
    case BoxIcon::Stop: qicon = QMessageBox::Critical; break;
    case BoxIcon::Information: qicon = QMessageBox::Information; break;
    case BoxIcon::None: break;
  }
  QMessageBox box(qicon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                  Owner());
  // Boxes carry a device's reply lines, file names and the library's texts:
  // shown as they are, never read as markup.
  box.setTextFormat(Qt::PlainText);
  // Always plain text; empty adds no "Show Details..." button.
  if (!details.empty()) box.setDetailedText(QString::fromStdString(details));
  box.exec();
}

std::optional<std::string> QtModalUi::FileDialog(const FileDialogRequest& request) {
  QFileDialog dialog(Owner(), QString::fromStdString(request.title));
  dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  // The open dialog takes a typed name of a file that is not there as well:
  // whoever reads the file reports it.
  dialog.setFileMode(QFileDialog::AnyFile);
  // The save dialogs also pick files to send: never a question about replacing.
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  if (!request.filter.empty()) dialog.setNameFilter(QString::fromStdString(request.filter));
  if (!request.defaultSuffix.empty()) dialog.setDefaultSuffix(QString::fromStdString(request.defaultSuffix));
  if (!request.initialPath.empty()) dialog.selectFile(QString::fromStdString(request.initialPath));
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return files.front().toStdString();
}

std::optional<PasswordAnswer> QtModalUi::PasswordPrompt(const std::string& ipText, const std::string& macText,
                                                        bool otherSelected) {
  CPasswordDlg dialog(ipText, macText, Owner(), otherSelected);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return PasswordAnswer{dialog.password(), dialog.forOtherSelected()};
}

bool QtModalUi::Question(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::Question, QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Yes | QMessageBox::No, Owner());
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtModalUi::FolderDialog(const std::string& title, const std::string& initialFolder) {
  QFileDialog dialog(Owner(), QString::fromStdString(title), QString::fromStdString(initialFolder));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList folders = dialog.selectedFiles();
  if (folders.isEmpty()) return std::nullopt;
  return folders.front().toStdString();
}

bool QtModalUi::NetworkDialog(NetworkDialogData& data) { return RunNetworkDialog(Owner(), *this, data); }

std::optional<std::string> QtModalUi::TargetsDialog(const std::string& current) {
  CTargetsDlg dialog(current, Owner());
  if (dialog.exec() != QDialog::Accepted || !dialog.CanAccept()) return std::nullopt;
  return dialog.Text();
}
