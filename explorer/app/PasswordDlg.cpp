#include "explorer/app/PasswordDlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "explorer/res/Strings.h"
#include "explorer/res/ui/DialogUnits.h"
#include "explorer/res/ui/TextFit.h"

std::string PasswordLabelText() { return LoadBrandString(IDS_ADMIN_USER) + " password"; }

std::string PasswordPromptText(const std::string& ipText, const std::string& macText) {
  const std::string device = LoadBrandString(IDS_DEVICE_NAME);
  static constexpr const char* kFormat =
      "Please enter the password for the %s\nwith IP Address %s and \nEthernet address %s\n";
  const int needed = std::snprintf(nullptr, 0, kFormat, device.c_str(), ipText.c_str(), macText.c_str());
  if (needed <= 0) return {};
  std::vector<char> buf(static_cast<size_t>(needed) + 1);
  std::snprintf(buf.data(), buf.size(), kFormat, device.c_str(), ipText.c_str(), macText.c_str());
  return std::string(buf.data(), static_cast<size_t>(needed));
}

CPasswordDlg::CPasswordDlg(const std::string& ipText, const std::string& macText, QWidget* parent,
                           bool otherSelected)
    : QDialog(parent), label_(PasswordLabelText()), prompt_(PasswordPromptText(ipText, macText)) {
  setWindowTitle(QStringLiteral("Password Required"));
  setObjectName(QStringLiteral("dlg_%1").arg(IDD_PASSWORD));
  const DialogUnits du(font());
  setFixedSize(du.Size(232, 81));

  auto* prompt = new QLabel(QString::fromStdString(prompt_), this);
  prompt->setObjectName(QStringLiteral("ctl_%1").arg(IDC_PASSWORD_PROMPT));
  prompt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  du.Place(prompt, 10, 10, 160, 30);

  auto* label = new QLabel(QString::fromStdString(label_), this);
  label->setObjectName(QStringLiteral("ctl_%1").arg(IDC_PASSWORD_LABEL));
  du.Place(label, 10, 45, 85, 8);

  edit_ = new QLineEdit(this);
  edit_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_PASSWORD_EDIT));
  edit_->setEchoMode(QLineEdit::Password);
  du.Place(edit_, 10, 55, 95, 15);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ctl_1"));
  ok->setDefault(true);
  du.Place(ok, 175, 5, 50, 14);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("ctl_2"));
  du.Place(cancel, 175, 22, 50, 14);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  // Whole texts whatever the font: a wider prompt pushes the buttons (and
  // the window's edge) to the right, wider button texts widen both.
  const int promptGrow = WidenToFit(prompt);
  WidenToFit(label);
  const int buttonWidth = std::max(TextSizeNeeded(ok, {ok->text(), cancel->text()}).width(), ok->width());
  const int buttonGrow = buttonWidth - ok->width();
  for (QPushButton* b : {ok, cancel}) b->setGeometry(b->x() + promptGrow, b->y(), buttonWidth, b->height());
  const int right = std::max(ok->x() + buttonWidth + du.X(7), label->x() + label->width() + du.X(7));
  int width = std::max(du.X(232) + promptGrow + buttonGrow, right);
  if (otherSelected) {
    // Below the edit, the dialog growing by one line.
    others_ = new QCheckBox(QString::fromUtf8(PASSWORD_FOR_OTHERS_TEXT), this);
    others_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_PASSWORD_FOR_OTHERS));
    others_->setChecked(false);
    du.Place(others_, 10, 76, 200, 10);
    others_->resize(std::max(others_->width(), others_->sizeHint().width()), others_->height());
    width = std::max(width, others_->x() + others_->width() + du.X(7));
    setFixedSize(width, du.Y(81) + du.Y(14));
  } else {
    setFixedSize(width, height());
  }

  // The edit is the first tab stop; the previous password is never shown.
  setTabOrder(edit_, ok);
  setTabOrder(ok, cancel);
  if (others_) setTabOrder(edit_, others_);
  edit_->setFocus();
}

QWidget* CPasswordDlg::Control(int id) const {
  return findChild<QWidget*>(QStringLiteral("ctl_%1").arg(id));
}

void CPasswordDlg::accept() {
  password_ = edit_->text().toStdString();
  forOthers_ = others_ && others_->isChecked();
  QDialog::accept();
}
