#include "explorer/protocol/ui/NetworkDlg.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "explorer/protocol/SetNetwork.h"
#include "explorer/protocol/ui/IPWnd.h"
#include "explorer/res/Strings.h"
#include "explorer/res/ui/DialogUnits.h"
#include "explorer/res/ui/TextFit.h"

namespace {

QFrame* Placeholder(QWidget* parent, int id) {
  auto* f = new QFrame(parent);
  f->setObjectName(QStringLiteral("frame_%1").arg(id));
  f->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  f->setLineWidth(1);
  return f;
}

}  // namespace

CNetworkDlg::CNetworkDlg(ModalUi& ui, const NetworkDialogData& data, QWidget* parent)
    : QDialog(parent), ui_(ui) {
  setObjectName(QStringLiteral("dlg_%1").arg(IDD_NETWORK));
  setWindowTitle(QString::fromUtf8(NETWORK_DIALOG_TITLE));
  setModal(true);
  const DialogUnits du(font());
  setFixedSize(du.Size(209, 122));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ctl_1"));
  ok->setDefault(true);
  ok->setAutoDefault(true);
  du.Place(ok, 133, 45, 50, 14);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("ctl_2"));
  cancel->setAutoDefault(false);
  du.Place(cancel, 133, 66, 50, 14);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* ipLabel = new QLabel(QStringLiteral("IP Address:"), this);
  du.Place(ipLabel, 17, 10, 100, 10);
  QFrame* ipFrame = Placeholder(this, IDC_IP_PLACEHOLDER);
  du.Place(ipFrame, 17, 23, 95, 15);

  auto* label = new QLabel(this);
  label->setObjectName(QStringLiteral("ctl_%1").arg(IDC_NETWORK_PASSWORD_LABEL));
  label->setText(QString::fromStdString(LoadBrandString(IDS_ADMIN_USER) + " password"));
  du.Place(label, 17, 80, 75, 8);

  auto* maskLabel = new QLabel(QString::fromUtf8(NETWORK_MASK_LABEL), this);
  du.Place(maskLabel, 17, 45, 100, 10);

  password_ = new QLineEdit(this);
  password_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_NETWORK_PASSWORD));
  password_->setEchoMode(QLineEdit::Password);
  password_->setMaxLength(static_cast<int>(MAX_NETWORK_PASSWORD));
  du.Place(password_, 17, 93, 95, 15);

  QFrame* maskFrame = Placeholder(this, IDC_MASK_PLACEHOLDER);
  du.Place(maskFrame, 17, 58, 95, 15);

  // Whole texts whatever the font: wider labels push the buttons (and the
  // window's edge) to the right, wider button texts widen both buttons.
  int labelsRight = 0;
  for (QLabel* l : {ipLabel, maskLabel, label}) {
    WidenToFit(l);
    labelsRight = std::max(labelsRight, l->x() + l->width());
  }
  const int shift = std::max(0, labelsRight + du.X(4) - ok->x());
  const int buttonWidth = std::max(TextSizeNeeded(ok, {ok->text(), cancel->text()}).width(), ok->width());
  const int buttonGrow = buttonWidth - ok->width();
  for (QPushButton* b : {ok, cancel}) b->setGeometry(b->x() + shift, b->y(), buttonWidth, b->height());
  setFixedSize(width() + shift + buttonGrow, height());

  ip_ = new CIPWnd(ui);
  ip_->SetAddress(data.ip);
  ip_->Create(this, ipFrame, IDC_IP_PLACEHOLDER);
  mask_ = new CIPWnd(ui);
  mask_->SetAddress(data.mask);
  mask_->Create(this, maskFrame, IDC_MASK_PLACEHOLDER);

  // Address, mask, password, then the buttons.
  QWidget* chain[] = {ip_->Field(0), ip_->Field(1), ip_->Field(2), ip_->Field(3),
                      mask_->Field(0), mask_->Field(1), mask_->Field(2), mask_->Field(3),
                      password_, ok, cancel};
  for (size_t i = 1; i < std::size(chain); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void CNetworkDlg::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (!focused_) {
    focused_ = true;
    ip_->FocusOctet(0, 0, -1);
  }
}

void CNetworkDlg::accept() {
  const uint32_t mask = mask_->GetAddress();
  if (!IsValidNetworkMask(mask)) {
    ui_.MessageBox(MaskFieldErrorText(mask), "Error", BoxIcon::Exclamation);
    mask_->FocusOctet(0, 0, -1);
    return;
  }
  QDialog::accept();
}

NetworkDialogData CNetworkDlg::Result() const {
  NetworkDialogData d;
  d.ip = ip_->GetAddress();
  d.mask = mask_->GetAddress();
  d.password = password_->text().toStdString().substr(0, MAX_NETWORK_PASSWORD);
  return d;
}

QWidget* CNetworkDlg::Control(int id) const {
  if (id == IDC_IP_PLACEHOLDER) return ip_;
  if (id == IDC_MASK_PLACEHOLDER) return mask_;
  return findChild<QWidget*>(QStringLiteral("ctl_%1").arg(id));
}

bool RunNetworkDialog(QWidget* parent, ModalUi& ui, NetworkDialogData& data) {
  CNetworkDlg dlg(ui, data, parent);
  if (dlg.exec() != QDialog::Accepted) return false;
  data = dlg.Result();
  return true;
}
