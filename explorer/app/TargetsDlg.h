#pragma once
// "Other networks": the targets every Scan and Set IP address of this
// session also asks, one a line, checked as they are typed.
#include <QDialog>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class CTargetsDlg : public QDialog {
 public:
  explicit CTargetsDlg(const std::string& text, QWidget* parent = nullptr);
  std::string Text() const;
  // What the status line says now (the first bad line, or what will be asked).
  std::string Status() const;
  void SetText(const std::string& text);
  bool CanAccept() const;

 private:
  void Check();

  QPlainTextEdit* edit_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* ok_ = nullptr;
};
