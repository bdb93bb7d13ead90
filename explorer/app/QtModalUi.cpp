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

std::optional<std::string> QtModalUi::PasswordPrompt(const std::string& ipText, const std::string& macText) {
  CPasswordDlg dialog(ipText, macText, Owner());
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.password();
}

bool QtModalUi::NetworkDialog(NetworkDialogData& data) { return RunNetworkDialog(Owner(), *this, data); }
