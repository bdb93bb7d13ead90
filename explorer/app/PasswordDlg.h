#pragma once
// The password prompt (dialog 166) shown when a device refused the cached
// password.
#include <QDialog>
#include <string>

class QLineEdit;

constexpr int IDD_PASSWORD = 166;
constexpr int IDC_PASSWORD_EDIT = 1038;
constexpr int IDC_PASSWORD_LABEL = 1042;
constexpr int IDC_PASSWORD_PROMPT = 1041;

// The family's administrator user name followed by " password".
std::string PasswordLabelText();
// Three lines naming the device, its IP address and its Ethernet address,
// with a trailing line break.
std::string PasswordPromptText(const std::string& ipText, const std::string& macText);

class CPasswordDlg : public QDialog {
  Q_OBJECT
 public:
  CPasswordDlg(const std::string& ipText, const std::string& macText, QWidget* parent = nullptr);

  const std::string& label() const { return label_; }
  const std::string& prompt() const { return prompt_; }
  // What the user typed; valid after the dialog was accepted.
  const std::string& password() const { return password_; }
  QWidget* Control(int id) const;

  void accept() override;

 private:
  std::string label_;
  std::string prompt_;
  std::string password_;
  QLineEdit* edit_ = nullptr;
};
