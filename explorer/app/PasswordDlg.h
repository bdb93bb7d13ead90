#pragma once
// The password prompt (dialog 166) shown when a device refused the cached
// password.
#include <QDialog>
#include <string>

class QCheckBox;
class QLineEdit;

constexpr int IDD_PASSWORD = 166;
constexpr int IDC_PASSWORD_EDIT = 1038;
constexpr int IDC_PASSWORD_LABEL = 1042;
constexpr int IDC_PASSWORD_PROMPT = 1041;
// Only while other selected devices wait for the same command.
constexpr int IDC_PASSWORD_FOR_OTHERS = 1043;
constexpr const char* PASSWORD_FOR_OTHERS_TEXT = "Use this password for the other selected devices";

// The family's administrator user name followed by " password".
std::string PasswordLabelText();
// Three lines naming the device, its IP address and its Ethernet address,
// with a trailing line break.
std::string PasswordPromptText(const std::string& ipText, const std::string& macText);

class CPasswordDlg : public QDialog {
  Q_OBJECT
 public:
  // `otherSelected`: offer the password for the other selected devices too
  // (a check box, off at first).
  CPasswordDlg(const std::string& ipText, const std::string& macText, QWidget* parent = nullptr,
               bool otherSelected = false);

  const std::string& label() const { return label_; }
  const std::string& prompt() const { return prompt_; }
  // What the user typed; valid after the dialog was accepted.
  const std::string& password() const { return password_; }
  bool forOtherSelected() const { return forOthers_; }
  QWidget* Control(int id) const;

  void accept() override;

 private:
  std::string label_;
  std::string prompt_;
  std::string password_;
  bool forOthers_ = false;
  QLineEdit* edit_ = nullptr;
  QCheckBox* others_ = nullptr;
};
