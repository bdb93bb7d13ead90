#pragma once
// The About box (dialog 100).
#include <QDialog>

constexpr int IDD_ABOUTBOX = 100;

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  QWidget* Control(int id) const;
};
