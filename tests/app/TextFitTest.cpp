// Every window and dialog of the program shows each of its texts whole:
// no label or button cuts its text, none runs into another, none sticks out
// of its window. Built once per device family (the texts differ); run at the
// default scale and at 1.5 (QT_SCALE_FACTOR), each with several of the
// fonts a Linux desktop uses.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "support/ScriptedUi.h"
#include "explorer/app/AboutDlg.h"
#include "explorer/app/PasswordDlg.h"
#include "explorer/app/QtModalUi.h"
#include "explorer/protocol/ui/NetworkDlg.h"
#include "explorer/res/Strings.h"

using namespace apptest;

namespace {

// Why a control does not show its text whole, or "" when it does.
std::string TextFault(QWidget* control) {
  const QFontMetrics fm = control->fontMetrics();
  if (auto* label = qobject_cast<QLabel*>(control)) {
    const QString text = label->text();
    if (text.isEmpty()) return {};
    const QRect room = label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(),
                                                      -label->margin());
    if (label->wordWrap()) {
      for (const QString& word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
        if (fm.horizontalAdvance(word) > room.width()) return "word '" + word.toStdString() + "' cut";
      if (label->heightForWidth(label->width()) > label->height()) return "wrapped lines cut at the bottom";
      return {};
    }
    QString shown = text;
    while (shown.endsWith('\n')) shown.chop(1);  // a trailing break adds no visible line
    const QSize size = fm.size(0, shown);
    if (size.width() > room.width())
      return "needs " + std::to_string(size.width()) + " px, has " + std::to_string(room.width());
    if (size.height() > room.height())
      return "needs " + std::to_string(size.height()) + " px high, has " + std::to_string(room.height());
    return {};
  }
  if (auto* button = qobject_cast<QPushButton*>(control)) {
    QStyleOptionButton option;
    option.initFrom(button);
    if (button->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
    if (button->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
    const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    const QSize size = fm.size(Qt::TextShowMnemonic, button->text());
    // Two pixels on each side at least: a text touching the edge reads as cut.
    if (size.width() + 4 > room.width())
      return "needs " + std::to_string(size.width() + 4) + " px, has " + std::to_string(room.width());
    if (size.height() > room.height()) return "text higher than the button";
    return {};
  }
  return {};
}

std::string Describe(QWidget* w) {
  QString text;
  if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
  return w->objectName().toStdString() + " \"" + text.toStdString() + "\"";
}

// Checks every label and push button of `window`.
void ExpectWholeTexts(QWidget* window, const std::string& where) {
  SCOPED_TRACE(where);
  std::vector<QWidget*> controls;
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(window)) continue;
    if (qobject_cast<QLabel*>(w) || qobject_cast<QPushButton*>(w)) controls.push_back(w);
  }
  ASSERT_FALSE(controls.empty());
  const QRect inside = window->rect();
  for (QWidget* c : controls) {
    const std::string fault = TextFault(c);
    EXPECT_TRUE(fault.empty()) << Describe(c) << ": " << fault;
    const QRect g(c->mapTo(window, QPoint(0, 0)), c->size());
    EXPECT_TRUE(inside.contains(g)) << Describe(c) << " sticks out of the window";
  }
  for (size_t i = 0; i < controls.size(); ++i)
    for (size_t j = i + 1; j < controls.size(); ++j) {
      if (controls[i]->parentWidget() != controls[j]->parentWidget()) continue;
      EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
          << Describe(controls[i]) << " runs into " << Describe(controls[j]);
    }
}

// The widest Ethernet address text in `fm`: every digit the widest hex digit.
std::string WidestMac(const QFontMetrics& fm) {
  char widest = '0';
  for (char c : std::string("0123456789ABCDEF"))
    if (fm.horizontalAdvance(QChar(c)) > fm.horizontalAdvance(QChar(widest))) widest = c;
  std::string mac;
  for (int i = 0; i < 6; ++i) mac += std::string(i ? ":" : "") + widest + widest;
  return mac;
}

struct FontCase {
  const char* name;
  QFont font;
};

std::vector<FontCase> DesktopFonts() {
  std::vector<FontCase> fonts{{"default", QApplication::font()}};
  // Larger desktop sizes, a serif face and a narrow-digit face.
  fonts.push_back({"DejaVu Sans 11", QFont(QStringLiteral("DejaVu Sans"), 11)});
  fonts.push_back({"DejaVu Serif 10", QFont(QStringLiteral("DejaVu Serif"), 10)});
  fonts.push_back({"Nimbus Sans 12", QFont(QStringLiteral("Nimbus Sans"), 12)});
  return fonts;
}

class TextsWhole : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    // The family this test was built for; the link puts its string table first.
    ASSERT_EQ(BrandOffset(), EXPECTED_BRAND_OFFSET);
    appFont_ = QApplication::font();
  }
  void TearDown() override { QApplication::setFont(appFont_); }
  QFont appFont_;
};

TEST_F(TextsWhole, MainWindowIdleAndBusy) {
  const std::string device = LoadBrandString(IDS_DEVICE_NAME);
  for (const FontCase& f : DesktopFonts()) {
    SCOPED_TRACE(f.name);
    QApplication::setFont(f.font);
    ScriptedUi ui;
    CExplorerDlg dlg(ui);
    dlg.show();
    QCoreApplication::processEvents();
    // The scaled run really draws at its scale.
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
      EXPECT_DOUBLE_EQ(dlg.devicePixelRatio(), qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
    }
    const QSize idleSize = dlg.size();
    ExpectWholeTexts(&dlg, "idle");

    // The telnet kinds' caption on button 1.
    ListDevices(dlg, {{0x01, 48, "10.0.0.5"}, {0x02, 1, "10.0.0.6"}});
    ClickRow(dlg, RowOf(dlg, "10.0.0.5"));
    ASSERT_EQ(Text(dlg, IDC_WEB_CONFIGURATION), TELNET_BUTTON_TEXT);
    ExpectWholeTexts(&dlg, "telnet device selected");

    const std::string mac = WidestMac(dlg.fontMetrics());
    const struct {
      int durationMs;
      std::string status;
    } busy[] = {
        {12000, "Scanning the local network..."},
        {4000, "Updating the " + device + "'s network parameters"},
        {2000, "Testing connection to " + mac},
        {2000, "Attempting to connect to the " + device},
        {40000, "Retrieving configuration file"},
        {10000, "Setting configuration file"},
        {300000, "Upgrading " + mac},
    };
    for (const auto& b : busy) {
      dlg.BeginBusy(b.durationMs, b.status);
      dlg.ProgressTick();  // the first countdown text: the longest one
      ASSERT_FALSE(Text(dlg, IDC_COUNTDOWN_TEXT).isEmpty());
      ExpectWholeTexts(&dlg, "busy: " + b.status);
      // Room for every text was there from the start: the window keeps its size.
      EXPECT_EQ(dlg.size(), idleSize) << b.status;
      dlg.EndBusy();
    }
  }
}

TEST_F(TextsWhole, Dialogs) {
  for (const FontCase& f : DesktopFonts()) {
    SCOPED_TRACE(f.name);
    QApplication::setFont(f.font);
    ScriptedUi ui;
    {
      NetworkDialogData data;
      CNetworkDlg dlg(ui, data);
      dlg.show();
      ExpectWholeTexts(&dlg, "network parameters dialog");
    }
    {
      const std::string mac = WidestMac(QFontMetrics(QApplication::font()));
      CPasswordDlg dlg("255.255.255.255", mac);
      dlg.show();
      ExpectWholeTexts(&dlg, "password prompt");
    }
    {
      CAboutDlg dlg;
      dlg.show();
      ExpectWholeTexts(&dlg, "About box");
    }
  }
}

// The connection test's result boxes as the program shows them.
TEST_F(TextsWhole, ConnectionTestResultBoxes) {
  for (const FontCase& f : DesktopFonts()) {
    SCOPED_TRACE(f.name);
    QApplication::setFont(f.font);
    QtModalUi ui;
    for (const auto& [text, icon] : {std::pair{"Network connection is OK", BoxIcon::None},
                                     std::pair{"Network connection test failed", BoxIcon::Exclamation}}) {
      bool seen = false;
      QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen = true;
        ExpectWholeTexts(box, text);
        box->accept();
      });
      ui.MessageBox(text, "Connection Test", icon);
      EXPECT_TRUE(seen) << text;
    }
  }
}

}  // namespace
