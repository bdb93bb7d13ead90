#include "explorer/protocol/ui/IPWnd.h"

#include <QKeyEvent>
#include <algorithm>
#include <utility>
#include <QPainter>
#include <QValidator>

#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/ui/ModalUi.h"

namespace {

// Octet fields of every address control of the program share one series of
// ids (user-interface thread only).
int g_nextOctetId = FIRST_OCTET_ID;

CIPEdit* AsOctetField(QWidget* w) { return qobject_cast<CIPEdit*>(w); }

// Whatever reaches the field (typing, a middle-click paste, a drop) is taken
// whole or not at all. A length limit alone would cut a pasted "10.1.2.3" to
// "10." and send an address nobody entered.
class OctetTextValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    if (input.size() > OCTET_TEXT_LIMIT) return Invalid;
    for (QChar c : input) {
      if (c < u'0' || c > u'9') return Invalid;
    }
    return Acceptable;
  }
};

}  // namespace

CIPEdit::CIPEdit(CIPWnd* owner, int index)
    : QLineEdit(owner), owner_(owner), index_(index), id_(g_nextOctetId++) {
  setObjectName(QStringLiteral("ctl_%1").arg(id_));
  setFrame(false);
  setAlignment(Qt::AlignCenter);
  setValidator(new OctetTextValidator(this));
  setContextMenuPolicy(Qt::NoContextMenu);  // no paste of arbitrary text
  setAttribute(Qt::WA_InputMethodEnabled, false);
  setFocusPolicy(Qt::StrongFocus);
  setText(QString::number(value_));
  connect(this, &QLineEdit::textEdited, this, &CIPEdit::OnTextEdited);
}

void CIPEdit::setValue(uint8_t v) {
  value_ = v;
  setText(QString::number(v));
}

void CIPEdit::OnTextEdited(const QString& text) {
  const OctetEdit e = ApplyOctetEdit(text.toStdString());
  if (e.invalid) {
    owner_->Ui().MessageBox(e.boxText, "Error", BoxIcon::Exclamation);
    setText(QString::fromStdString(e.text));
  } else if (e.moveNext) {
    if (owner_->Navigate(index_, CIPWnd::Direction::Next, true))
      owner_->Field(index_ + 1)->EnteredByAutomaticMove();
  }
  value_ = e.value;
}

void CIPEdit::focusOutEvent(QFocusEvent* e) {
  dotClosesOctet_ = false;
  QLineEdit::focusOutEvent(e);
}

void CIPEdit::mousePressEvent(QMouseEvent* e) {
  dotClosesOctet_ = false;
  QLineEdit::mousePressEvent(e);
}

bool CIPEdit::event(QEvent* e) {
  // Tab would otherwise be taken by the dialog's focus chain before the
  // field sees it.
  if (e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    if (k->key() == Qt::Key_Tab && !(k->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
      if (!owner_->Navigate(index_, CIPWnd::Direction::Next, true))
        owner_->LeaveControl(CIPWnd::Direction::Next);
      return true;
    }
    if (k->key() == Qt::Key_Backtab) {
      if (!owner_->Navigate(index_, CIPWnd::Direction::Previous, true))
        owner_->LeaveControl(CIPWnd::Direction::Previous);
      return true;
    }
  }
  return QLineEdit::event(e);
}

void CIPEdit::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  const bool keypad = e->modifiers() & Qt::KeypadModifier;
  const int selStart = hasSelectedText() ? selectionStart() : cursorPosition();
  // Only the very first key after the automatic move can be that full stop
  // (a modifier pressed on its own is not a key typed).
  const bool modifierOnly = key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt ||
                            key == Qt::Key_Meta || key == Qt::Key_AltGr;
  const bool dotClosesOctet = !modifierOnly && std::exchange(dotClosesOctet_, false);
  switch (key) {
    case Qt::Key_Backspace:
      if (text().isEmpty()) {
        owner_->Navigate(index_, CIPWnd::Direction::Previous, false);
        return;
      }
      QLineEdit::keyPressEvent(e);
      return;
    case Qt::Key_Delete:
      QLineEdit::keyPressEvent(e);
      return;
    case Qt::Key_Left:
      if (selStart == 0 && owner_->Navigate(index_, CIPWnd::Direction::Previous, false)) return;
      QLineEdit::keyPressEvent(e);
      return;
    case Qt::Key_Right:
      if (selStart == text().size() && owner_->Navigate(index_, CIPWnd::Direction::Next, false)) return;
      QLineEdit::keyPressEvent(e);
      return;
    case Qt::Key_Period:
      // The full stop of the main keyboard separates octets; the keypad's
      // decimal key is not a separator.
      if (!keypad && !dotClosesOctet) owner_->Navigate(index_, CIPWnd::Direction::Next, true);
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      e->ignore();  // the dialog's default and cancel buttons
      return;
    default:
      break;
  }
  if (key >= Qt::Key_0 && key <= Qt::Key_9 && !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    const QString t = e->text();
    if (t.size() == 1 && IsOctetCharacter(t.at(0).unicode())) QLineEdit::keyPressEvent(e);
    return;
  }
  // Every other key is swallowed.
}

void CIPEdit::inputMethodEvent(QInputMethodEvent* e) { e->ignore(); }

CIPWnd::CIPWnd(ModalUi& ui) : ui_(ui) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::NoFocus);  // the fields take the focus themselves
}

bool CIPWnd::Create(QWidget* dialog, QWidget* placeholder, int controlId) {
  if (!dialog || !placeholder) return false;
  setParent(dialog);
  id_ = controlId;
  setObjectName(QStringLiteral("ctl_%1").arg(controlId));
  // Inside the placeholder's frame, so its sunken border surrounds us.
  const QRect client = placeholder->contentsRect();
  const QPoint topLeft = placeholder->mapTo(dialog, client.topLeft());
  setGeometry(QRect(topLeft, client.size()));
  for (int i = 0; i < 4; ++i) {
    fields_[i] = new CIPEdit(this, i);
    fields_[i]->setValue(OctetOf(address_, i));
    fields_[i]->show();
  }
  LayoutFields();
  show();
  raise();
  update();
  return true;
}

void CIPWnd::SetAddress(uint32_t ipNetOrder) {
  address_ = ipNetOrder;
  for (int i = 0; i < 4; ++i) {
    if (fields_[i]) fields_[i]->setValue(OctetOf(ipNetOrder, i));
  }
}

uint32_t CIPWnd::GetAddress() const {
  uint32_t v = address_;
  for (int i = 0; i < 4; ++i) {
    if (fields_[i]) v = WithOctet(v, i, fields_[i]->value());
  }
  return v;
}

void CIPWnd::FocusOctet(int index, int selStart, int selEnd, bool keepScroll) {
  CIPEdit* f = Field(index);
  if (!f) return;
  f->setFocus(Qt::OtherFocusReason);
  const int len = static_cast<int>(f->text().size());
  selStart = std::clamp(selStart, 0, len);
  selEnd = std::clamp(selEnd < 0 ? len : selEnd, 0, len);
  if (selEnd > selStart) {
    f->setSelection(selStart, selEnd - selStart);
  } else {
    f->setCursorPosition(selStart);
  }
  (void)keepScroll;  // a three-character field always shows its caret
}

bool CIPWnd::Navigate(int from, Direction dir, bool selectAll) {
  const int to = dir == Direction::Next ? from + 1 : from - 1;
  CIPEdit* f = Field(to);
  if (!f) return false;
  const int len = static_cast<int>(f->text().size());
  if (dir == Direction::Previous) {
    FocusOctet(to, len, len);
  } else if (selectAll) {
    FocusOctet(to, 0, len);
  } else {
    FocusOctet(to, 0, 0);
  }
  return true;
}

void CIPWnd::LeaveControl(Direction dir) {
  // Walk the dialog's tab chain past our own fields.
  QWidget* w = dir == Direction::Next ? fields_[3] : fields_[0];
  for (int guard = 0; w && guard < 1000; ++guard) {
    w = dir == Direction::Next ? w->nextInFocusChain() : w->previousInFocusChain();
    if (!w || w == fields_[0] || w == fields_[3]) return;  // went all the way round
    if (isAncestorOf(w)) continue;
    if (!(w->focusPolicy() & Qt::TabFocus) || !w->isEnabled() || !w->isVisibleTo(window())) continue;
    if (CIPEdit* f = AsOctetField(w)) {
      auto* other = qobject_cast<CIPWnd*>(f->parentWidget());
      if (other) {
        const int index = dir == Direction::Next ? 0 : 3;
        other->FocusOctet(index, 0, static_cast<int>(other->Field(index)->text().size()));
        return;
      }
    }
    w->setFocus(dir == Direction::Next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return;
  }
}

void CIPWnd::focusInEvent(QFocusEvent*) { FocusOctet(0, 0, -1); }

void CIPWnd::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  LayoutFields();
}

void CIPWnd::LayoutFields() {
  const int w = (width() - 13) / 4;
  int x = 2;
  for (CIPEdit* f : fields_) {
    if (f) f->setGeometry(x, 2, std::max(w, 0), std::max(height() - 4, 0));
    x += w + 3;
  }
}

void CIPWnd::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::white);
  p.setPen(Qt::black);
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  p.setBrush(Qt::black);
  p.setRenderHint(QPainter::Antialiasing);
  for (int i = 0; i < 3; ++i) {
    if (!fields_[i]) continue;
    const QRect g = fields_[i]->geometry();
    const int right = g.x() + g.width();
    const int bottom = g.y() + g.height();
    p.drawEllipse(QRect(right, bottom - 6, 3, 3));
  }
}
