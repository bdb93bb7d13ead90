// Typing into the address entry control of the network parameters dialog.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include "explorer/protocol/SetNetwork.h"
#include "explorer/protocol/ui/IPWnd.h"
#include "explorer/protocol/ui/NetworkDlg.h"
#include "explorer/res/Strings.h"
#include "scan_test_support.h"

using scantest::Ip;

namespace {

class IpEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::App();
    NetworkDialogData start;
    start.ip = Ip("10.1.2.3");
    start.mask = Ip("255.255.0.0");
    dlg = std::make_unique<CNetworkDlg>(ui, start);
    dlg->show();
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    ip = dlg->IpControl();
    mask = dlg->MaskControl();
  }
  void TearDown() override { dlg.reset(); }

  // Puts the caret into `field` with its text selected, as a click and
  // select-all would.
  void Enter(CIPEdit* field) {
    field->setFocus();
    field->selectAll();
    QApplication::processEvents();
  }
  QWidget* Focused() const { return QApplication::focusWidget(); }
  // Each key goes to whichever field has the focus by then, as typing does.
  void Type(const char* keys) {
    for (const char* k = keys; *k; ++k) QTest::keyClick(Focused(), *k);
  }

  scantest::ScriptedUi ui;
  std::unique_ptr<CNetworkDlg> dlg;
  CIPWnd* ip = nullptr;
  CIPWnd* mask = nullptr;
};

TEST_F(IpEditTest, ThreeDigitsJumpToTheNextFieldWithItsTextSelected) {
  EXPECT_EQ(Focused(), ip->Field(0));  // the dialog opens in the first octet
  QTest::keyClicks(ip->Field(0), "19");
  EXPECT_EQ(Focused(), ip->Field(0));  // two digits stay
  QTest::keyClick(ip->Field(0), Qt::Key_2);
  EXPECT_EQ(ip->Field(0)->text(), "192");
  ASSERT_EQ(Focused(), ip->Field(1));
  EXPECT_EQ(ip->Field(1)->selectedText(), "1");
  // Typing replaces the selection; the whole address goes in without dots.
  Type("1680007");
  EXPECT_EQ(FormatIp(ip->GetAddress()), "192.168.0.7");
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(IpEditTest, AboveTwoHundredFiftyFiveShowsTheBoxAndDropsTheFirstCharacter) {
  Enter(ip->Field(2));
  QTest::keyClicks(ip->Field(2), "300");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "300 is an invalid entry. Please specify a number between 0 and 255.");
  EXPECT_EQ(ui.boxes[0].caption, "Error");
  EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Exclamation);
  EXPECT_EQ(ip->Field(2)->text(), "00");
  EXPECT_EQ(ip->Field(2)->value(), 0);
  EXPECT_EQ(Focused(), ip->Field(2));  // no jump after a correction
  // 256 is the first invalid number; 255 is fine and jumps.
  ip->Field(2)->selectAll();
  QTest::keyClicks(ip->Field(2), "255");
  EXPECT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(Focused(), ip->Field(3));
  EXPECT_EQ(FormatIp(ip->GetAddress()), "10.1.255.3");
}

TEST_F(IpEditTest, OnlyDigitsAreTyped) {
  Enter(ip->Field(1));
  QTest::keyClicks(ip->Field(1), "a-b 4x");
  EXPECT_EQ(ip->Field(1)->text(), "4");
  QTest::keyClick(ip->Field(1), Qt::Key_V, Qt::ControlModifier);  // no paste
  EXPECT_EQ(ip->Field(1)->text(), "4");
  EXPECT_EQ(FormatIp(ip->GetAddress()), "10.4.2.3");
}

TEST_F(IpEditTest, FullStopMovesOnExceptFromTheLastField) {
  Enter(ip->Field(0));
  Type("10.");
  ASSERT_EQ(Focused(), ip->Field(1));
  EXPECT_EQ(ip->Field(1)->selectedText(), "1");
  Type("7.8.");
  ASSERT_EQ(Focused(), ip->Field(3));
  Type("9.");
  EXPECT_EQ(Focused(), ip->Field(3));  // nowhere to go
  EXPECT_EQ(ip->Field(3)->text(), "9");  // the dot itself is never typed
  EXPECT_EQ(FormatIp(ip->GetAddress()), "10.7.8.9");
}

// A technician types the dots, also after a field that moved on by itself:
// that dot closes the octet just completed and must not skip a field.
TEST_F(IpEditTest, TypedAddressesArriveAsTyped) {
  struct Case {
    const char* start;
    bool maskControl;
    const char* typed;
    const char* expected;
  } cases[] = {
      {"192.168.1.20", false, "192.168.1.30", "192.168.1.30"},
      {"255.255.0.0", true, "255.255.255.0", "255.255.255.0"},
      {"192.168.1.20", false, "10.1.2.3", "10.1.2.3"},
      {"192.168.1.20", false, "1.22.133.4", "1.22.133.4"},
      // Only the one dot right after the move is taken as the octet's end;
      // a second dot moves on as usual.
      {"192.168.1.20", false, "192..7.8", "192.168.7.8"},
      // Digits only, three per field, no dots at all: as before.
      {"192.168.1.20", false, "010002003004", "10.2.3.4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    CIPWnd* control = c.maskControl ? mask : ip;
    control->SetAddress(Ip(c.start));
    Enter(control->Field(0));
    // Each key goes through the window to whichever field has the focus.
    QTest::keyClicks(nullptr, c.typed);
    EXPECT_EQ(FormatIp(control->GetAddress()), c.expected);
    EXPECT_EQ(Focused(), control->Field(3));
  }
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(IpEditTest, PastedOctetsFollowTheTypingRulesAndNothingElseGetsIn) {
  ip->SetAddress(Ip("192.168.1.20"));
  // Three pasted digits complete the octet and move on like typed ones; the
  // dot typed next closes that octet.
  QApplication::clipboard()->setText(QStringLiteral("130"));
  Enter(ip->Field(2));
  ip->Field(2)->paste();
  ASSERT_EQ(Focused(), ip->Field(3));
  QTest::keyClicks(nullptr, ".5");
  EXPECT_EQ(FormatIp(ip->GetAddress()), "192.168.130.5");

  // A whole address does not fit one field: cut to its first three
  // characters it would quietly send another address, so it is refused.
  QApplication::clipboard()->setText(QStringLiteral("10.1.2.3"));
  Enter(ip->Field(0));
  ip->Field(0)->paste();
  EXPECT_EQ(ip->Field(0)->text(), "192");
  EXPECT_EQ(Focused(), ip->Field(0));
  QApplication::clipboard()->setText(QStringLiteral("7x"));
  ip->Field(1)->selectAll();
  ip->Field(1)->paste();
  EXPECT_EQ(ip->Field(1)->text(), "168");
  EXPECT_EQ(FormatIp(ip->GetAddress()), "192.168.130.5");
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(IpEditTest, BackspaceAndArrowsCrossFieldBorders) {
  Enter(ip->Field(2));
  QTest::keyClick(ip->Field(2), Qt::Key_Backspace);  // deletes the selected "2"
  EXPECT_EQ(ip->Field(2)->text(), "");
  EXPECT_EQ(Focused(), ip->Field(2));
  QTest::keyClick(ip->Field(2), Qt::Key_Backspace);  // empty: back to the end of field 1
  ASSERT_EQ(Focused(), ip->Field(1));
  EXPECT_EQ(ip->Field(1)->text(), "1");  // nothing deleted there
  EXPECT_EQ(ip->Field(1)->cursorPosition(), 1);
  EXPECT_FALSE(ip->Field(1)->hasSelectedText());
  // An empty field counts as 0.
  EXPECT_EQ(FormatIp(ip->GetAddress()), "10.1.0.3");

  QTest::keyClick(ip->Field(1), Qt::Key_Right);  // at the end: next field, caret at 0
  ASSERT_EQ(Focused(), ip->Field(2));
  QTest::keyClick(ip->Field(2), Qt::Key_Right);  // empty field: at its end too
  ASSERT_EQ(Focused(), ip->Field(3));
  EXPECT_EQ(ip->Field(3)->cursorPosition(), 0);
  QTest::keyClick(ip->Field(3), Qt::Key_Left);  // at 0: previous field, caret at its end
  EXPECT_EQ(Focused(), ip->Field(2));
  Enter(ip->Field(0));
  ip->Field(0)->setCursorPosition(0);
  QTest::keyClick(ip->Field(0), Qt::Key_Left);  // no field before the first
  EXPECT_EQ(Focused(), ip->Field(0));
}

TEST_F(IpEditTest, TabRunsThroughTheFieldsIntoTheNextAddressControl) {
  Enter(ip->Field(0));
  for (int i = 1; i < 4; ++i) {
    QTest::keyClick(Focused(), Qt::Key_Tab);
    ASSERT_EQ(Focused(), ip->Field(i));
  }
  QTest::keyClick(Focused(), Qt::Key_Tab);
  ASSERT_EQ(Focused(), mask->Field(0));
  EXPECT_EQ(mask->Field(0)->selectedText(), "255");
  for (int i = 0; i < 4; ++i) QTest::keyClick(Focused(), Qt::Key_Tab);
  EXPECT_EQ(Focused(), dlg->Control(IDC_NETWORK_PASSWORD));
}

TEST_F(IpEditTest, DialogResultLabelAndIds) {
  auto* label = qobject_cast<QLabel*>(dlg->Control(IDC_NETWORK_PASSWORD_LABEL));
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text().toStdString(), LoadBrandString(IDS_ADMIN_USER) + " password");
  EXPECT_EQ(dlg->windowTitle(), "IP Address and Netmask needed");

  auto* password = qobject_cast<QLineEdit*>(dlg->Control(IDC_NETWORK_PASSWORD));
  ASSERT_NE(password, nullptr);
  password->setFocus();
  QTest::keyClicks(password, QString(40, 'p'));
  const NetworkDialogData d = dlg->Result();
  EXPECT_EQ(d.password, std::string(31, 'p'));
  EXPECT_EQ(FormatIp(d.ip), "10.1.2.3");
  EXPECT_EQ(FormatIp(d.mask), "255.255.0.0");

  // One id series for every octet field of the program.
  const int first = ip->Field(0)->controlId();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(ip->Field(i)->controlId(), first + i);
    EXPECT_EQ(mask->Field(i)->controlId(), first + 4 + i);
  }
  EXPECT_GE(first, FIRST_OCTET_ID);
  EXPECT_EQ((first - FIRST_OCTET_ID) % 8, 0);
  // The fields share the control's width as the layout rule says.
  const int w = (ip->width() - 13) / 4;
  EXPECT_EQ(ip->Field(0)->geometry(), QRect(2, 2, w, ip->height() - 4));
  EXPECT_EQ(ip->Field(3)->x(), 2 + 3 * (w + 3));
}

TEST_F(IpEditTest, DotsArePaintedBetweenTheFieldsAndEnterPressesOk) {
  const QImage image = ip->grab().toImage();
  for (int i = 0; i < 3; ++i) {
    const QRect g = ip->Field(i)->geometry();
    // The centre of the dot's 3 x 3 box right of the field's bottom.
    const QColor dot = image.pixelColor(g.x() + g.width() + 1, g.y() + g.height() - 5);
    EXPECT_LT(dot.lightness(), 128) << "no dot after field " << i;
    // Above the dot the gap stays white.
    EXPECT_GT(image.pixelColor(g.x() + g.width() + 1, g.y() + 1).lightness(), 200);
  }
  Enter(ip->Field(1));
  QTest::keyClick(ip->Field(1), Qt::Key_Return);
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  EXPECT_FALSE(dlg->isVisible());
}

TEST_F(IpEditTest, OkWithAMaskNoDeviceTakesNamesTheMaskFieldAndStaysOpen) {
  // Three digits a field: 255.0.255.0, then 0.0.0.0.
  for (const char* typed : {"255000255000", "000000000000"}) {
    SCOPED_TRACE(typed);
    ui.boxes.clear();
    Enter(mask->Field(0));
    Type(typed);
    Enter(ip->Field(1));
    QTest::keyClick(ip->Field(1), Qt::Key_Return);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Network Mask: " + FormatIp(mask->GetAddress()) +
                                    " is not a valid network mask: a mask is ones from the left, "
                                    "then zeros, as in 255.255.255.0");
    EXPECT_EQ(ui.boxes[0].caption, "Error");
    EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Exclamation);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(Focused(), mask->Field(0));
  }
  // Corrected, the same OK closes it.
  Enter(mask->Field(0));
  Type("255255252000");
  EXPECT_EQ(FormatIp(mask->GetAddress()), "255.255.252.0");
  QTest::keyClick(Focused(), Qt::Key_Return);
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  EXPECT_EQ(ui.boxes.size(), 1u);
}

TEST(NetworkMaskRule, OnesFromTheTopThenZeros) {
  for (const char* valid : {"255.255.255.0", "255.0.0.0", "128.0.0.0", "255.255.252.0",
                            "255.255.255.254", "255.255.255.255"})
    EXPECT_TRUE(IsValidNetworkMask(Ip(valid))) << valid;
  for (const char* invalid : {"0.0.0.0", "255.0.255.0", "0.255.255.255", "255.255.255.1",
                              "254.255.255.0", "1.0.0.0", "255.255.0.128"})
    EXPECT_FALSE(IsValidNetworkMask(Ip(invalid))) << invalid;
}

TEST(SetNetworkRequestFill, MacKindAddressesAndPasswordCut) {
  auto rec = scantest::Record(0x0F, 48, "10.0.0.5");
  NetworkDialogData d;
  d.ip = Ip("192.168.7.8");
  d.mask = Ip("255.255.255.0");
  d.password = std::string(40, 'x');
  const SetNetworkRequest req = FillSetNetworkRequest(*rec, d);
  const auto wire = req.Encode();
  EXPECT_EQ(0, std::memcmp(wire.data(), rec->mac(), 6));
  EXPECT_EQ(wire[6], 48);
  EXPECT_EQ(wire[7], 0);
  EXPECT_EQ(wire[8], 192);
  EXPECT_EQ(wire[11], 8);
  EXPECT_EQ(wire[12], 255);
  EXPECT_EQ(wire[15], 0);
  for (int i = 16; i < 47; ++i) EXPECT_EQ(wire[i], 'x');
  EXPECT_EQ(wire[47], 0);

  d.password.clear();
  const auto empty = FillSetNetworkRequest(*rec, d).Encode();
  for (int i = 16; i < 48; ++i) EXPECT_EQ(empty[i], 0);

  EXPECT_EQ(SetNetworkStatusText("Osprey Panel"), "Updating the Osprey Panel's network parameters");
}

TEST(OctetRules, LongDigitRunsNeverOverflow) {
  // A pasted run of digits is cut until it is a valid octet.
  const OctetEdit e = ApplyOctetEdit("99999999999999999999");
  EXPECT_TRUE(e.invalid);
  EXPECT_LE(OctetNumber(e.text), 255);
  EXPECT_EQ(ApplyOctetEdit("").value, 0);
  EXPECT_FALSE(ApplyOctetEdit("25").moveNext);
}

}  // namespace
