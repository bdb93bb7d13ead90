#include "explorer/app/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "explorer/res/Strings.h"
#include "explorer/res/ui/Bitmaps.h"
#include "explorer/res/ui/DialogUnits.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("dlg_%1").arg(IDD_ABOUTBOX));
  // The menu text carries a leading mnemonic marker that a caption must not show.
  const std::string menuText = LoadBrandString(IDS_ABOUT_MENU);
  setWindowTitle(QString::fromStdString(menuText.empty() ? menuText : menuText.substr(1)));

  const DialogUnits du(font());
  setFixedSize(du.Size(235, 55));

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("ctl_1027"));
  icon->setPixmap(LoadResIcon(IDI_DEVICE).pixmap(32, 32));
  du.Place(icon, 11, 17, 20, 20);

  auto* title = new QLabel(
      QString::fromStdString(LoadBrandString(IDS_TITLE) + " " + LoadBrandString(IDS_VERSION)), this);
  title->setObjectName(QStringLiteral("ctl_1028"));
  du.Place(title, 40, 10, 119, 8);

  auto* copyright = new QLabel(QString::fromStdString(LoadBrandString(IDS_COPYRIGHT)), this);
  copyright->setObjectName(QStringLiteral("ctl_1029"));
  copyright->setWordWrap(true);
  du.Place(copyright, 40, 25, 140, 20);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ctl_1"));
  ok->setDefault(true);
  du.Place(ok, 178, 7, 50, 14);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

QWidget* CAboutDlg::Control(int id) const {
  return findChild<QWidget*>(QStringLiteral("ctl_%1").arg(id));
}
