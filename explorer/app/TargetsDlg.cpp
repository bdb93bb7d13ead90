#include "explorer/app/TargetsDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "explorer/session/Discovery.h"

CTargetsDlg::CTargetsDlg(const std::string& text, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromStdString(OTHER_NETWORKS_TITLE));
  setObjectName(QStringLiteral("dlg_other_networks"));
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(QString::fromStdString(OTHER_NETWORKS_INTRO), this);
  intro->setWordWrap(true);
  layout->addWidget(intro);
  edit_ = new QPlainTextEdit(this);
  edit_->setObjectName(QStringLiteral("targets"));
  edit_->setTabChangesFocus(true);
  layout->addWidget(edit_);
  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("status"));
  status_->setWordWrap(true);
  layout->addWidget(status_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  connect(edit_, &QPlainTextEdit::textChanged, this, [this] { Check(); });
  edit_->setPlainText(QString::fromStdString(text));
  Check();
  resize(fontMetrics().averageCharWidth() * 56, fontMetrics().height() * 18);
}

std::string CTargetsDlg::Text() const { return edit_->toPlainText().toStdString(); }
std::string CTargetsDlg::Status() const { return status_->text().toStdString(); }
void CTargetsDlg::SetText(const std::string& text) { edit_->setPlainText(QString::fromStdString(text)); }
bool CTargetsDlg::CanAccept() const { return ok_->isEnabled(); }

void CTargetsDlg::Check() {
  const TargetList list = ParseTargetLines(Text());
  status_->setText(QString::fromStdString(TargetListStatus(list)));
  // A bad line would otherwise be dropped without the user knowing.
  ok_->setEnabled(list.errors.empty());
}
