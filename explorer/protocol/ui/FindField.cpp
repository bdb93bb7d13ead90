#include "explorer/protocol/ui/FindField.h"

#include <QKeyEvent>

CFindField::CFindField(QWidget* parent) : QLineEdit(parent) {
  setPlaceholderText(QStringLiteral("Find an Ethernet or IP address"));
  setClearButtonEnabled(true);
  // MAC and IP texts are short; more is only a paste gone wrong.
  setMaxLength(64);
}

bool CFindField::event(QEvent* event) {
  // Claimed before any shortcut of the window sees the key.
  if (event->type() == QEvent::ShortcutOverride) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Escape) {
      event->accept();
      return true;
    }
  }
  return QLineEdit::event(event);
}

void CFindField::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      event->accept();
      emit closeRequested();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Down:
      // Not the window's default button: Return here means "to the rows".
      event->accept();
      emit listRequested();
      return;
    default: QLineEdit::keyPressEvent(event);
  }
}
