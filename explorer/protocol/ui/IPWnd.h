#pragma once
// The dotted-quad address entry control: four octet fields side by side,
// separated by painted dots, with keyboard rules that let an address be
// typed in one go ("192.168.0.3", or "192168000003" thanks to the jump
// after three digits).
#include <QLineEdit>
#include <QWidget>
#include <array>
#include <cstdint>

class ModalUi;
class CIPWnd;

// First control id of the octet fields; every field of the program takes
// the next one.
constexpr int FIRST_OCTET_ID = 1045;

class CIPEdit : public QLineEdit {
  Q_OBJECT
 public:
  CIPEdit(CIPWnd* owner, int index);

  int index() const { return index_; }
  int controlId() const { return id_; }
  uint8_t value() const { return value_; }
  void setValue(uint8_t v);
  // The field was just entered by the move after a completed octet.
  void EnteredByAutomaticMove() { dotClosesOctet_ = true; }

 protected:
  bool event(QEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void inputMethodEvent(QInputMethodEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;

 private:
  void OnTextEdited(const QString& text);

  CIPWnd* owner_;
  int index_;
  int id_;
  uint8_t value_ = 0;
  // A full stop typed first after the automatic move ends the octet that
  // caused the move; it must not move on a second time.
  bool dotClosesOctet_ = false;
};

class CIPWnd : public QWidget {
  Q_OBJECT
 public:
  enum class Direction { Next, Previous };

  // Box messages of the fields go through `ui`.
  explicit CIPWnd(ModalUi& ui);

  // Takes the place of `placeholder` (inside its frame) in `dialog`, with
  // the placeholder's control id, and creates the four fields.
  bool Create(QWidget* dialog, QWidget* placeholder, int controlId);
  void SetAddress(uint32_t ipNetOrder);
  uint32_t GetAddress() const;
  // Focus field `index` and select [selStart, selEnd); indexes above 3 do
  // nothing.
  void FocusOctet(int index, int selStart, int selEnd, bool keepScroll = false);

  CIPEdit* Field(int index) const { return index >= 0 && index < 4 ? fields_[index] : nullptr; }
  int controlId() const { return id_; }
  ModalUi& Ui() { return ui_; }

  // Field navigation; false when there is no field in that direction.
  bool Navigate(int from, Direction dir, bool selectAll);
  // Tab out of the last (or Shift+Tab out of the first) field.
  void LeaveControl(Direction dir);

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;

 private:
  void LayoutFields();

  ModalUi& ui_;
  std::array<CIPEdit*, 4> fields_{};  // children; Qt deletes them
  uint32_t address_ = 0;              // network byte order, until the fields exist
  int id_ = 0;
};
