#pragma once
// The find field under the device list: what is typed filters the rows.
// Escape closes it and goes no further: in the window Escape would close
// the program. Return or Down hands the keyboard back to the list.
#include <QLineEdit>

class CFindField : public QLineEdit {
  Q_OBJECT
 public:
  explicit CFindField(QWidget* parent = nullptr);

 signals:
  void closeRequested();
  void listRequested();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool event(QEvent* event) override;
};
