#include "explorer/app/AboutDlg.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "explorer/res/Strings.h"
#include "explorer/res/ui/Bitmaps.h"
#include "explorer/res/ui/DialogUnits.h"
#include "explorer/res/ui/TextFit.h"

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

  // Whole texts whatever the font: a wider title pushes OK (and the
  // window's edge) to the right; the copyright, below OK, may wrap into its
  // two lines or grow to the right.
  WidenToFit(title);
  copyright->resize(WrappedWidthNeeded(copyright), copyright->height());
  WidenToFit(ok);
  const int shift = std::max(0, title->x() + title->width() + du.X(4) - ok->x());
  ok->move(ok->x() + shift, ok->y());
  const int right = std::max(ok->x() + ok->width(), copyright->x() + copyright->width()) + du.X(7);
  setFixedSize(std::max(width(), right), height());
}

QWidget* CAboutDlg::Control(int id) const {
  return findChild<QWidget*>(QStringLiteral("ctl_%1").arg(id));
}
