#pragma once
// The network parameters dialog (dialog 130) with its two address entry
// controls and the password field.
#include <QDialog>
#include <string>

#include "explorer/res/ui/ModalUi.h"

class QLineEdit;
class QLabel;
class QFrame;
class CIPWnd;

constexpr int IDD_NETWORK = 130;
constexpr int IDC_IP_PLACEHOLDER = 1009;
constexpr int IDC_MASK_PLACEHOLDER = 1010;
constexpr int IDC_NETWORK_PASSWORD = 1019;
constexpr int IDC_NETWORK_PASSWORD_LABEL = 1025;

class CNetworkDlg : public QDialog {
  Q_OBJECT
 public:
  // Starts with the addresses of `data`; the password starts empty.
  CNetworkDlg(ModalUi& ui, const NetworkDialogData& data, QWidget* parent = nullptr);

  // What the user entered (valid once the dialog has closed with OK, and
  // while it is open).
  NetworkDialogData Result() const;
  QWidget* Control(int id) const;
  CIPWnd* IpControl() const { return ip_; }
  CIPWnd* MaskControl() const { return mask_; }

 public slots:
  // OK, by the button or the Enter key: a mask no device can take keeps the
  // dialog open with a box that names the mask field.
  void accept() override;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  ModalUi& ui_;
  CIPWnd* ip_ = nullptr;
  CIPWnd* mask_ = nullptr;
  QLineEdit* password_ = nullptr;
  bool focused_ = false;
};

// Runs the dialog modally over `parent`; octet errors are reported through
// `ui`. True on OK, with `data` holding the entered values.
bool RunNetworkDialog(QWidget* parent, ModalUi& ui, NetworkDialogData& data);
