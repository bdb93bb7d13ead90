// The main window without any network: layout, the button rules as a user
// meets them with the mouse, the busy display and Cancel-or-exit.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QLineEdit>
#include <QHeaderView>
#include <QMenu>
#include <QSignalSpy>
#include <QTimer>
#include <map>
#include <set>

#include "AppTestSupport.h"
#include "support/ScriptedUi.h"
#include "explorer/app/AboutDlg.h"
#include "explorer/app/PasswordDlg.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/res/Strings.h"
#include "explorer/res/ui/Bitmaps.h"
#include "explorer/res/ui/DialogUnits.h"

using namespace apptest;

namespace {

constexpr int kActions[] = {IDC_WEB_CONFIGURATION, IDC_GET_CONFIGURATION, IDC_SET_CONFIGURATION,
                            IDC_UPGRADE_FIRMWARE,  IDC_SET_IP_ADDRESS,    IDC_TEST_CONNECTION};

struct WithApp {
  WithApp() { App(); }
};

class MainWindow : public ::testing::Test, private WithApp {
 protected:
  MainWindow() : dlg(ui) {
    dlg.show();
    QCoreApplication::processEvents();
  }
  std::vector<bool> ActionStates() {
    std::vector<bool> s;
    for (int id : kActions) s.push_back(Enabled(dlg, id));
    return s;
  }
  ScriptedUi ui;
  CExplorerDlg dlg;
};

TEST_F(MainWindow, StartsIdleWithEveryControlInPlace) {
  EXPECT_EQ(dlg.windowTitle().toStdString(), LoadBrandString(IDS_TITLE));
  EXPECT_EQ(Text(dlg, IDC_EXIT), "Exit");
  EXPECT_EQ(Text(dlg, IDC_SCAN), "Scan");
  EXPECT_EQ(Text(dlg, IDC_HELP), "&Help");
  EXPECT_EQ(Text(dlg, IDC_WEB_CONFIGURATION), WEB_BUTTON_TEXT);
  EXPECT_EQ(Text(dlg, IDC_GET_CONFIGURATION), GET_BUTTON_TEXT);
  EXPECT_EQ(Text(dlg, IDC_SET_CONFIGURATION), SET_BUTTON_TEXT);
  EXPECT_EQ(Text(dlg, IDC_UPGRADE_FIRMWARE), UPGRADE_BUTTON_TEXT);
  EXPECT_EQ(Text(dlg, IDC_SET_IP_ADDRESS), SET_IP_BUTTON_TEXT);
  EXPECT_EQ(Text(dlg, IDC_TEST_CONNECTION), TEST_BUTTON_TEXT);
  EXPECT_TRUE(static_cast<QPushButton*>(dlg.Control(IDC_WEB_CONFIGURATION))->isDefault());
  EXPECT_EQ(ActionStates(), std::vector<bool>(6, false));
  EXPECT_TRUE(Enabled(dlg, IDC_SCAN));
  EXPECT_TRUE(Enabled(dlg, IDC_HELP));
  EXPECT_TRUE(Text(dlg, IDC_STATUS_TEXT).isEmpty());
  EXPECT_TRUE(Text(dlg, IDC_COUNTDOWN_TEXT).isEmpty());
  EXPECT_EQ(static_cast<QProgressBar*>(dlg.Control(IDC_PROGRESS))->value(), 0);
  EXPECT_EQ(dlg.Control(IDC_DEVICE_LIST), &dlg.DeviceList());

  auto* picture = static_cast<QLabel*>(dlg.Control(IDC_PICTURE));
  EXPECT_EQ(picture->pixmap().size(), QSize(100, 100));

  // Converted from dialog units, the layout keeps its shape: the action
  // column right of the list, the Scan row below the progress bar, and
  // no two controls on top of each other.
  const QRect list = dlg.Control(IDC_DEVICE_LIST)->geometry();
  const QRect progress = dlg.Control(IDC_PROGRESS)->geometry();
  EXPECT_GT(dlg.Control(IDC_WEB_CONFIGURATION)->geometry().left(), list.right());
  EXPECT_EQ(progress.width(), list.width());
  EXPECT_GT(dlg.Control(IDC_SCAN)->geometry().top(), progress.bottom());
  std::vector<int> ids = {IDC_DEVICE_LIST, IDC_STATUS_TEXT, IDC_PROGRESS, IDC_SCAN, IDC_EXIT, IDC_HELP,
                          IDC_PICTURE};
  ids.insert(ids.end(), std::begin(kActions), std::end(kActions));
  for (size_t i = 0; i < ids.size(); ++i)
    for (size_t j = i + 1; j < ids.size(); ++j)
      EXPECT_FALSE(dlg.Control(ids[i])->geometry().intersects(dlg.Control(ids[j])->geometry()))
          << ids[i] << " overlaps " << ids[j];
  for (int id : ids) EXPECT_LE(dlg.Control(id)->geometry().right(), dlg.width()) << id;
}

// Hundreds of devices want room: the window can be resized and maximised,
// never below its start size; the list takes the extra room, the action
// column and the picture keep to the right, the busy line and the Scan row
// to the bottom. Its icon is the device picture.
TEST_F(MainWindow, ResizesFromItsStartSizeAndKeepsTheDeviceIcon) {
  const Qt::WindowFlags flags = dlg.windowFlags();
  EXPECT_FALSE(flags & Qt::MSWindowsFixedSizeDialogHint);
  EXPECT_TRUE(flags & Qt::CustomizeWindowHint);  // exactly the buttons below
  EXPECT_TRUE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(flags & Qt::WindowTitleHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(dlg.isVisible());  // changing the flags must not have hidden it
  // The start size is the dialog-unit layout's (widened only where a text
  // needs it), and the least.
  const DialogUnits du(dlg.font());
  const QSize start = dlg.size();
  EXPECT_EQ(start.height(), du.Y(210));
  EXPECT_GE(start.width(), du.X(332));
  EXPECT_EQ(dlg.minimumSize(), start);
  EXPECT_GT(dlg.maximumSize().width(), 4 * start.width());

  std::map<int, QRect> before;
  for (int id : {IDC_DEVICE_LIST, IDC_STATUS_TEXT, IDC_COUNTDOWN_TEXT, IDC_PROGRESS, IDC_SCAN, IDC_EXIT, IDC_HELP,
                 IDC_PICTURE, IDC_WEB_CONFIGURATION, IDC_TEST_CONNECTION})
    before[id] = dlg.Control(id)->geometry();
  const int dx = 300, dy = 200;
  dlg.resize(start + QSize(dx, dy));
  QCoreApplication::processEvents();
  ASSERT_EQ(dlg.size(), start + QSize(dx, dy));
  auto now = [&](int id) { return dlg.Control(id)->geometry(); };
  EXPECT_EQ(now(IDC_DEVICE_LIST), before[IDC_DEVICE_LIST].adjusted(0, 0, dx, dy));
  EXPECT_EQ(now(IDC_PROGRESS), before[IDC_PROGRESS].adjusted(0, dy, dx, dy));
  EXPECT_EQ(now(IDC_STATUS_TEXT), before[IDC_STATUS_TEXT].adjusted(0, dy, dx, dy));
  EXPECT_EQ(now(IDC_COUNTDOWN_TEXT), before[IDC_COUNTDOWN_TEXT].translated(dx, dy));
  for (int id : {IDC_SCAN, IDC_EXIT, IDC_HELP}) EXPECT_EQ(now(id), before[id].translated(0, dy)) << id;
  for (int id : {IDC_WEB_CONFIGURATION, IDC_TEST_CONNECTION}) EXPECT_EQ(now(id), before[id].translated(dx, 0)) << id;
  EXPECT_EQ(now(IDC_PICTURE), before[IDC_PICTURE].translated(dx, dy));
  // The Part's two columns still share the wider list.
  auto& list = dlg.DeviceList();
  EXPECT_GE(list.columnWidth(0), list.viewport()->width() / 2 - 1);

  // Never smaller than at the start; back there, everything is where it was.
  dlg.resize(100, 80);
  QCoreApplication::processEvents();
  EXPECT_EQ(dlg.size(), start);
  for (const auto& [id, rect] : before) EXPECT_EQ(now(id), rect) << id;

  dlg.showMaximized();
  QTRY_VERIFY_WITH_TIMEOUT(dlg.isMaximized(), 2000);
  QTRY_VERIFY_WITH_TIMEOUT(dlg.width() > start.width(), 2000);
  QCoreApplication::processEvents();
  EXPECT_EQ(now(IDC_DEVICE_LIST).width(), before[IDC_DEVICE_LIST].width() + dlg.width() - start.width());
  EXPECT_EQ(dlg.width() - now(IDC_PICTURE).right(), start.width() - before[IDC_PICTURE].right());
  dlg.showNormal();

  // Task bars and window lists ask for small sizes: each is drawn, on a
  // transparent ground, with the panel's dark blue in the middle.
  const QIcon icon = dlg.windowIcon();
  ASSERT_FALSE(icon.isNull());
  for (int size : {16, 32, 48}) {
    SCOPED_TRACE(size);
    EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size)));
    const QImage image = icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(image.size(), QSize(size, size));
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    const QColor middle = image.pixelColor(size / 2, size / 2);
    EXPECT_EQ(middle.alpha(), 255);
    EXPECT_GT(middle.blue(), middle.red());
    EXPECT_LT(middle.lightness(), 128);
  }
}

TEST_F(MainWindow, ButtonsFollowTheClickedDevice) {
  ListDevices(dlg, {{0x01, 48, "10.0.0.5"}, {0x02, 1, "10.0.0.6"}, {0x03, 0, "0.0.0.0"}, {0x04, 16, "10.0.0.7"}});
  ASSERT_EQ(dlg.DeviceList().topLevelItemCount(), 4);

  const bool T = true, F = false;
  const struct {
    const char* what;
    const char* ip;  // the clicked row; none: the empty space below the rows
    const char* caption;
    std::vector<bool> states;  // in the order of kActions
  } clicks[] = {
      {"telnet kind", "10.0.0.5", TELNET_BUTTON_TEXT, {T, F, F, F, T, T}},
      {"web kind", "10.0.0.6", WEB_BUTTON_TEXT, {T, T, T, T, T, T}},
      {"no firmware upgrade for this kind", "10.0.0.7", WEB_BUTTON_TEXT, {T, T, T, F, T, T}},
      {"only an address can be given", "0.0.0.0", WEB_BUTTON_TEXT, {F, F, F, F, T, F}},
      {"nothing selected", nullptr, WEB_BUTTON_TEXT, {F, F, F, F, F, F}},
  };
  for (const auto& c : clicks) {
    SCOPED_TRACE(c.what);
    ClickRow(dlg, c.ip ? RowOf(dlg, c.ip) : nullptr);
    if (c.ip) {
      ASSERT_NE(dlg.SelectedDevice(), nullptr);
      EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), c.ip);
    } else {
      EXPECT_EQ(dlg.SelectedDevice(), nullptr);
    }
    EXPECT_EQ(Text(dlg, IDC_WEB_CONFIGURATION), c.caption);
    EXPECT_EQ(ActionStates(), c.states);
  }
}

// Whoever moves the selection with the keyboard sees the buttons of the
// device the actions will run on.
TEST_F(MainWindow, ButtonsFollowTheSelectionMadeWithTheKeyboard) {
  ListDevices(dlg, {{0x01, 48, "10.0.0.5"}, {0x02, 1, "10.0.0.6"}, {0x03, 0, "0.0.0.0"}, {0x04, 16, "10.0.0.7"}});
  auto& list = dlg.DeviceList();
  list.setFocus();
  const bool T = true, F = false;
  const struct {
    Qt::Key key;
    const char* ip;  // selected afterwards
    const char* caption;
    std::vector<bool> states;
  } keys[] = {
      // Rows run 0.0.0.0, 10.0.0.5, 10.0.0.6, 10.0.0.7; nothing is selected yet.
      {Qt::Key_Down, "0.0.0.0", WEB_BUTTON_TEXT, {F, F, F, F, T, F}},
      {Qt::Key_Down, "10.0.0.5", TELNET_BUTTON_TEXT, {T, F, F, F, T, T}},
      {Qt::Key_Down, "10.0.0.6", WEB_BUTTON_TEXT, {T, T, T, T, T, T}},
      {Qt::Key_End, "10.0.0.7", WEB_BUTTON_TEXT, {T, T, T, F, T, T}},
      {Qt::Key_Home, "0.0.0.0", WEB_BUTTON_TEXT, {F, F, F, F, T, F}},
  };
  for (const auto& k : keys) {
    SCOPED_TRACE(k.ip);
    QTest::keyClick(&list, k.key);
    ASSERT_NE(dlg.SelectedDevice(), nullptr);
    EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), k.ip);
    EXPECT_EQ(Text(dlg, IDC_WEB_CONFIGURATION), k.caption);
    EXPECT_EQ(ActionStates(), k.states);
  }
  // A mouse click followed by an arrow key: the arrow's device counts.
  ClickRow(dlg, RowOf(dlg, "10.0.0.6"));
  QTest::keyClick(&list, Qt::Key_Up);
  EXPECT_EQ(Text(dlg, IDC_WEB_CONFIGURATION), TELNET_BUTTON_TEXT);
  EXPECT_EQ(ActionStates(), (std::vector<bool>{T, F, F, F, T, T}));

  // During the busy display of a queued long operation the keyboard moves
  // the buttons along too, so another device's operation can be queued
  // (during an exchange nothing changes: the web launch tests show that
  // with a real one). The operation's end shows the same buttons.
  dlg.BeginBusy(300000, "Upgrading 00:C0:3A:01:02:01");
  QTest::keyClick(&list, Qt::Key_Down);
  EXPECT_EQ(ActionStates(), std::vector<bool>(6, true));
  dlg.EndBusy();
  EXPECT_EQ(ActionStates(), std::vector<bool>(6, true));
}

TEST(ActionButtons, EveryAcceptedKindGetsItsActions) {
  // Kinds 16 and 18 take no firmware upgrade; 48 and 49 are configured over
  // telnet and take neither an upgrade nor a configuration transfer.
  const struct {
    uint16_t kind;
    bool upgrade, configuration, telnet;
  } kinds[] = {
      {0, true, true, false},     {1, true, true, false},     {2, true, true, false},
      {3, true, true, false},     {4, true, true, false},     {16, false, true, false},
      {17, true, true, false},    {18, false, true, false},   {19, true, true, false},
      {48, false, false, true},   {49, false, false, true},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE("kind " + std::to_string(k.kind));
    ASSERT_TRUE(IsAcceptedKind(k.kind));
    DeviceRecord record = *MakeRecord({0x01, k.kind, "10.0.0.5"});
    const SelectionOffers s = OffersForSelection({&record});
    EXPECT_TRUE(s.web.enabled);
    EXPECT_EQ(s.upgrade.enabled, k.upgrade);
    EXPECT_EQ(s.getConfig.enabled, k.configuration);
    EXPECT_EQ(s.setConfig.enabled, k.configuration);
    EXPECT_TRUE(s.setIp.enabled);
    EXPECT_TRUE(s.test.enabled);
    EXPECT_EQ(s.telnetCaption, k.telnet);

    // Without an address only the address can be given, whatever the kind.
    record.setIp(0);
    const SelectionOffers none = OffersForSelection({&record});
    EXPECT_FALSE(none.web.enabled || none.getConfig.enabled || none.setConfig.enabled || none.upgrade.enabled ||
                 none.test.enabled);
    EXPECT_TRUE(none.setIp.enabled);
  }
  const SelectionOffers nothing = OffersForSelection({});
  EXPECT_FALSE(nothing.web.enabled || nothing.getConfig.enabled || nothing.setConfig.enabled ||
               nothing.upgrade.enabled || nothing.setIp.enabled || nothing.test.enabled || nothing.telnetCaption);
}

// Several rows: Ctrl and Shift clicks, Shift+arrows and Ctrl+A select
// them; the buttons then follow every selected row, and a disabled button
// says why.
TEST_F(MainWindow, ButtonsFollowEverySelectedRow) {
  // Rows run 0.0.0.0, 10.0.0.5 (48), 10.0.0.6 (1), 10.0.0.7 (16).
  ListDevices(dlg, {{0x01, 48, "10.0.0.5"}, {0x02, 1, "10.0.0.6"}, {0x03, 0, "0.0.0.0"}, {0x04, 16, "10.0.0.7"}});
  auto& list = dlg.DeviceList();
  const bool T = true, F = false;
  auto tip = [&](int id) { return dlg.Control(id)->toolTip().toStdString(); };

  ClickRow(dlg, RowOf(dlg, "10.0.0.6"));
  QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::ControlModifier,
                    list.visualItemRect(RowOf(dlg, "10.0.0.7")).center());
  QCoreApplication::processEvents();
  ASSERT_EQ(dlg.SelectedDevices().size(), 2u);
  // The kind rules of the first selected row: its upgrade is offered (the
  // command takes the kind-16 row too); one device at a time for Set IP.
  EXPECT_EQ(ActionStates(), (std::vector<bool>{T, T, T, T, F, T}));
  EXPECT_EQ(tip(IDC_SET_IP_ADDRESS), "Set IP address takes one device at a time: select only one");
  EXPECT_EQ(tip(IDC_UPGRADE_FIRMWARE), "");

  // Shift+Up from 10.0.0.7 takes the rows up to the telnet device.
  QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier,
                    list.visualItemRect(RowOf(dlg, "10.0.0.7")).center());
  QTest::keyClick(&list, Qt::Key_Up, Qt::ShiftModifier);
  QTest::keyClick(&list, Qt::Key_Up, Qt::ShiftModifier);
  QCoreApplication::processEvents();
  ASSERT_EQ(dlg.SelectedDevices().size(), 3u);
  EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), "10.0.0.5");
  EXPECT_EQ(Text(dlg, IDC_WEB_CONFIGURATION), TELNET_BUTTON_TEXT);
  EXPECT_EQ(ActionStates(), (std::vector<bool>{T, F, F, F, F, T}));
  EXPECT_EQ(tip(IDC_UPGRADE_FIRMWARE), "Kind 48 is configured over telnet: it has no firmware upgrade");
  EXPECT_EQ(tip(IDC_GET_CONFIGURATION), "Kind 48 is configured over telnet: it has no configuration transfer");

  // Ctrl+A: the device without an address leaves nothing to do for all.
  QTest::keyClick(&list, Qt::Key_A, Qt::ControlModifier);
  QCoreApplication::processEvents();
  ASSERT_EQ(dlg.SelectedDevices().size(), 4u);
  EXPECT_EQ(ActionStates(), std::vector<bool>(6, false));
  EXPECT_EQ(tip(IDC_TEST_CONNECTION), "00:C0:3A:01:02:03 has no IP address: give it one with Set IP address");

  // One row again: the kind-16 device says why it has no upgrade.
  ClickRow(dlg, RowOf(dlg, "10.0.0.7"));
  EXPECT_EQ(ActionStates(), (std::vector<bool>{T, T, T, F, T, T}));
  EXPECT_EQ(tip(IDC_UPGRADE_FIRMWARE), "Kind 16 has no firmware upgrade");
  ClickRow(dlg, RowOf(dlg, "0.0.0.0"));
  EXPECT_EQ(tip(IDC_WEB_CONFIGURATION), "The device has no IP address: give it one with Set IP address");
  EXPECT_EQ(tip(IDC_SET_IP_ADDRESS), "");
}

// Each action button has a mnemonic of its own (Alt+H is Help's).
TEST_F(MainWindow, EveryActionButtonHasItsOwnMnemonic) {
  std::set<QChar> keys{QChar('H')};
  for (int id : kActions) {
    const QString text = Text(dlg, id);
    const qsizetype amp = text.indexOf('&');
    ASSERT_GE(amp, 0) << text.toStdString();
    EXPECT_TRUE(keys.insert(text.at(amp + 1).toUpper()).second) << text.toStdString();
  }
  const QString telnet = QString::fromUtf8(TELNET_BUTTON_TEXT);
  EXPECT_FALSE(keys.count(telnet.at(telnet.indexOf('&') + 1).toUpper())) << "Configuration's key is taken";

  // Alt+U is the upgrade: its file dialog opens (and is cancelled).
  ListDevices(dlg, {{0x02, 1, "10.0.0.6"}});
  ClickRow(dlg, RowOf(dlg, "10.0.0.6"));
  dlg.activateWindow();
  QTest::keyClick(&dlg, Qt::Key_U, Qt::AltModifier);
  // A mnemonic presses the button as the eye can follow: a moment later.
  QTRY_COMPARE_WITH_TIMEOUT(ui.fileRequests.size(), 1u, 2000);
  EXPECT_EQ(ui.fileRequests[0].title, "Upgrade " + LoadBrandString(IDS_DEVICE_NAME) + " (00:C0:3A:01:02:02)");
  EXPECT_FALSE(dlg.IsBusy());
}

// Cancel turns into Exit under the pointer: the second click of a double
// click on Cancel keeps the window and its list.
TEST_F(MainWindow, ADoubleClickOnCancelDoesNotExit) {
  ListDevices(dlg, {{0x02, 1, "10.0.0.6"}});
  auto* exitButton = static_cast<QPushButton*>(dlg.Control(IDC_EXIT));
  dlg.BeginBusy(12000, "Scanning");
  exitButton->click();  // Cancel
  exitButton->click();  // now Exit, at once
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.DeviceList().topLevelItemCount(), 1);
  QTest::qWait(EXIT_GUARD.count() + 100);
  exitButton->click();
  EXPECT_FALSE(dlg.isVisible());
}

// F1 is the help, as Alt+H; while busy (Help disabled) it does nothing.
TEST_F(MainWindow, F1OpensTheHelpLikeTheHelpButton) {
  dlg.activateWindow();
  dlg.BeginBusy(2000, "Testing");
  QTest::keyClick(&dlg, Qt::Key_F1);
  QCoreApplication::processEvents();
  const size_t busyBoxes = ui.boxes.size();
  dlg.EndBusy();
  static_cast<QPushButton*>(dlg.Control(IDC_HELP))->click();
  QCoreApplication::processEvents();
  const std::vector<std::string> byButton = ui.log;
  ui.log.clear();
  QTest::keyClick(&dlg, Qt::Key_F1);
  QCoreApplication::processEvents();
  EXPECT_EQ(busyBoxes, 0u);
  EXPECT_EQ(ui.log, byButton);
}

std::vector<std::string> ColumnTexts(CExplorerDlg& dlg, int column, bool shownOnly = false) {
  std::vector<std::string> out;
  auto& list = dlg.DeviceList();
  for (int i = 0; i < list.topLevelItemCount(); ++i)
    if (!shownOnly || !list.topLevelItem(i)->isHidden()) out.push_back(list.topLevelItem(i)->text(column).toStdString());
  return out;
}

void ClickHeader(CExplorerDlg& dlg, int column) {
  QHeaderView* header = dlg.DeviceList().header();
  const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  QCoreApplication::processEvents();
}

// A click on a header sorts by that column, ascending first, the second
// click reverses; addresses sort by their numbers. The selection stays on
// its devices, and a new list comes in the scan's order.
TEST_F(MainWindow, HeaderClicksSortAndANewListComesInTheScansOrder) {
  ListDevices(dlg, {{0x03, 1, "10.0.0.10"}, {0x01, 1, "10.0.0.9"}, {0x04, 1, "192.168.0.1"}, {0x02, 1, "20.0.0.1"}});
  const std::vector<std::string> byIp = {"10.0.0.9", "10.0.0.10", "20.0.0.1", "192.168.0.1"};
  ASSERT_EQ(ColumnTexts(dlg, 1), byIp);
  ClickRow(dlg, RowOf(dlg, "20.0.0.1"));
  CQuillbox* picked = dlg.SelectedDevice();

  ClickHeader(dlg, CDeviceListView::COLUMN_MAC);
  EXPECT_EQ(ColumnTexts(dlg, 0), (std::vector<std::string>{"00:C0:3A:01:02:01", "00:C0:3A:01:02:02",
                                                           "00:C0:3A:01:02:03", "00:C0:3A:01:02:04"}));
  EXPECT_TRUE(dlg.DeviceList().header()->isSortIndicatorShown());
  EXPECT_EQ(dlg.DeviceList().header()->sortIndicatorOrder(), Qt::AscendingOrder);
  ClickHeader(dlg, CDeviceListView::COLUMN_MAC);
  EXPECT_EQ(ColumnTexts(dlg, 0), (std::vector<std::string>{"00:C0:3A:01:02:04", "00:C0:3A:01:02:03",
                                                           "00:C0:3A:01:02:02", "00:C0:3A:01:02:01"}));
  EXPECT_EQ(dlg.DeviceList().header()->sortIndicatorOrder(), Qt::DescendingOrder);
  EXPECT_EQ(dlg.SelectedDevices(), std::vector<CQuillbox*>{picked});
  EXPECT_TRUE(Enabled(dlg, IDC_UPGRADE_FIRMWARE));
  // The rows and their devices move together.
  for (int row = 0; row < 4; ++row)
    EXPECT_EQ(FormatMac(dlg.DeviceAt(row)->record->mac()), ColumnTexts(dlg, 0)[static_cast<size_t>(row)]);

  ClickHeader(dlg, CDeviceListView::COLUMN_IP);
  EXPECT_EQ(ColumnTexts(dlg, 1), byIp);
  ClickHeader(dlg, CDeviceListView::COLUMN_IP);
  EXPECT_EQ(ColumnTexts(dlg, 1), (std::vector<std::string>(byIp.rbegin(), byIp.rend())));
  // A changed address (Set IP address) keeps the order the user chose.
  picked->record->setIp(inet_addr("10.0.0.1"));
  dlg.RefreshDevices();
  EXPECT_EQ(ColumnTexts(dlg, 1), (std::vector<std::string>{"192.168.0.1", "10.0.0.10", "10.0.0.9", "10.0.0.1"}));

  // A scan starts from an empty list: its rows come by address again.
  ClickHeader(dlg, CDeviceListView::COLUMN_MAC);
  dlg.ClearDevices();
  ListDevices(dlg, {{0x03, 1, "10.0.0.10"}, {0x01, 1, "10.0.0.9"}, {0x04, 1, "192.168.0.1"}, {0x02, 1, "20.0.0.1"}});
  EXPECT_EQ(ColumnTexts(dlg, 1), byIp);
  EXPECT_FALSE(dlg.DeviceList().header()->isSortIndicatorShown());
}

// The columns beyond the scan's two are off at first; the header's own menu
// shows or hides them. A right click on the rows still opens the window's
// menu.
TEST_F(MainWindow, TheHeadersMenuShowsTheKindMaskAndViaColumns) {
  ListDevices(dlg, {{0x01, 48, "10.0.0.5"}, {0x02, 16, "10.0.0.6"}, {0x03, 1, "10.0.0.7"}});
  auto& list = dlg.DeviceList();
  QHeaderView* header = list.header();
  EXPECT_EQ(header->count(), 5);
  for (int c = 0; c < 5; ++c) EXPECT_EQ(list.isColumnHidden(c), c >= 2) << c;
  EXPECT_EQ(list.headerItem()->text(2).toStdString(), "Device Kind");
  EXPECT_EQ(list.headerItem()->text(3).toStdString(), "Network Mask");
  EXPECT_EQ(list.headerItem()->text(4).toStdString(), "Answered Through");

  // Where a right click on the header arrives.
  QContextMenuEvent onHeader(QContextMenuEvent::Mouse, QPoint(5, 5), header->viewport()->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(header->viewport(), &onHeader);
  QTRY_COMPARE_WITH_TIMEOUT(QApplication::activePopupWidget(), static_cast<QWidget*>(list.ColumnMenu()), 2000);
  std::vector<std::string> items;
  QAction* kind = nullptr;
  for (QAction* a : list.ColumnMenu()->actions()) {
    items.push_back(a->text().toStdString());
    EXPECT_TRUE(a->isCheckable() && !a->isChecked());
    if (a->text() == "Device Kind") kind = a;
  }
  EXPECT_EQ(items, (std::vector<std::string>{"Device Kind", "Network Mask", "Answered Through"}));
  ASSERT_NE(kind, nullptr);
  kind->trigger();
  list.ColumnMenu()->close();
  EXPECT_FALSE(list.isColumnHidden(2));
  EXPECT_EQ(ColumnTexts(dlg, 2), (std::vector<std::string>{"48 (telnet)", "16 (no upgrade)", "1 (web)"}));
  EXPECT_EQ(ColumnTexts(dlg, 3), (std::vector<std::string>(3, "255.0.0.0")));
  // Every shown column is wide enough for its texts.
  const QFontMetrics fm(list.font());
  for (int c = 0; c < 3; ++c)
    for (const std::string& t : ColumnTexts(dlg, c))
      EXPECT_GT(list.columnWidth(c), fm.horizontalAdvance(QString::fromStdString(t))) << t;
  // The kind column sorts by number.
  ClickHeader(dlg, 2);
  EXPECT_EQ(ColumnTexts(dlg, 2), (std::vector<std::string>{"1 (web)", "16 (no upgrade)", "48 (telnet)"}));
  kind->trigger();
  EXPECT_TRUE(list.isColumnHidden(2));

  // On the rows: the window's menu, with About and Other networks...; it is
  // shown and the handler has returned (nothing waits inside it).
  const QPoint onRows = list.visualItemRect(list.topLevelItem(0)).center();
  QContextMenuEvent rows(QContextMenuEvent::Mouse, onRows, list.viewport()->mapToGlobal(onRows));
  QApplication::sendEvent(list.viewport(), &rows);
  auto* menu = dlg.findChild<QMenu*>(QStringLiteral("window_menu"));
  ASSERT_NE(menu, nullptr);
  EXPECT_TRUE(menu->isVisible());
  std::vector<std::string> windowMenu;
  for (QAction* a : menu->actions()) windowMenu.push_back(a->text().toStdString());
  EXPECT_EQ(windowMenu, (std::vector<std::string>{LoadBrandString(IDS_ABOUT_MENU), "Other networks..."}));
  menu->close();
}

// Ctrl+F opens the find field under the list; what is typed keeps the rows
// whose Ethernet or IP address contains it. Escape there clears the filter
// and closes the field, and does not close the program.
TEST_F(MainWindow, CtrlFFiltersTheRowsAndEscapeClosesOnlyTheField) {
  ListDevices(dlg, {{0x01, 1, "10.0.0.5"}, {0x02, 1, "10.0.0.6"}, {0x03, 1, "10.0.1.60"}, {0xA4, 1, "172.16.0.1"}});
  auto& list = dlg.DeviceList();
  CFindField& find = dlg.FindField();
  EXPECT_FALSE(find.isVisible());
  const QRect listBefore = list.geometry();
  ClickRow(dlg, RowOf(dlg, "10.0.0.5"));
  ASSERT_NE(dlg.SelectedDevice(), nullptr);

  dlg.activateWindow();
  QTest::keyClick(&dlg, Qt::Key_F, Qt::ControlModifier);
  QTRY_VERIFY_WITH_TIMEOUT(find.isVisible(), 2000);
  QTRY_VERIFY_WITH_TIMEOUT(find.hasFocus(), 2000);
  // Under the list, which gives up the room.
  EXPECT_GT(find.geometry().top(), list.geometry().bottom());
  EXPECT_LT(find.geometry().bottom(), dlg.Control(IDC_STATUS_TEXT)->geometry().top());
  EXPECT_EQ(find.geometry().left(), list.geometry().left());
  EXPECT_EQ(find.geometry().width(), list.geometry().width());

  QTest::keyClicks(&find, ".6");
  EXPECT_EQ(ColumnTexts(dlg, 1, true), (std::vector<std::string>{"10.0.0.6", "10.0.1.60"}));
  // The device that went out of sight is no longer selected: no command
  // runs on a row nobody sees.
  EXPECT_TRUE(dlg.SelectedDevices().empty());
  EXPECT_FALSE(Enabled(dlg, IDC_WEB_CONFIGURATION));
  find.clear();
  QTest::keyClicks(&find, "02:a4");
  EXPECT_EQ(ColumnTexts(dlg, 1, true), (std::vector<std::string>{"172.16.0.1"}));
  // Return hands the keyboard to the list, on the first row shown, and
  // runs no command.
  QTest::keyClick(&find, Qt::Key_Return);
  EXPECT_TRUE(list.hasFocus());
  EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), "172.16.0.1");
  EXPECT_TRUE(ui.log.empty());

  // Ctrl+F again: back in the field, its text ready to be typed over.
  QTest::keyClick(&dlg, Qt::Key_F, Qt::ControlModifier);
  QTRY_VERIFY_WITH_TIMEOUT(find.hasFocus(), 2000);
  EXPECT_EQ(find.selectedText(), "02:a4");
  QTest::keyClick(&find, Qt::Key_Escape);
  EXPECT_TRUE(dlg.isVisible()) << "Escape in the find field closed the program";
  EXPECT_FALSE(find.isVisible());
  EXPECT_TRUE(find.text().isEmpty());
  EXPECT_EQ(ColumnTexts(dlg, 1, true).size(), 4u);
  EXPECT_EQ(list.geometry(), listBefore);
  EXPECT_TRUE(list.hasFocus());
  EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), "172.16.0.1");
  // Escape in the list is still the window's.
  QTest::qWait(EXIT_GUARD.count());
  QTest::keyClick(&list, Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());
}

// Type-ahead finds a device by the start of its IP address as well as of
// its Ethernet address.
TEST_F(MainWindow, TypeAheadMatchesTheIpAndTheMacColumn) {
  ListDevices(dlg, {{0x01, 1, "10.0.0.5"}, {0x02, 1, "10.0.0.6"}, {0x04, 1, "172.16.0.1"}, {0x03, 1, "10.0.0.60"}});
  auto& list = dlg.DeviceList();
  list.setFocus();
  const auto pause = [] { QTest::qWait(QApplication::keyboardInputInterval() + 100); };
  QTest::keyClicks(&list, "172");
  ASSERT_NE(dlg.SelectedDevice(), nullptr);
  EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), "172.16.0.1");
  pause();
  QTest::keyClicks(&list, "10.0.0.6");
  EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), "10.0.0.6");
  QTest::keyClicks(&list, "0");
  EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), "10.0.0.60");
  pause();
  QTest::keyClicks(&list, "00:c0:3a:01:02:01");
  EXPECT_EQ(FormatIp(dlg.SelectedDevice()->record->ip()), "10.0.0.5");
  EXPECT_EQ(dlg.SelectedDevices().size(), 1u);
  EXPECT_TRUE(Enabled(dlg, IDC_UPGRADE_FIRMWARE));
}

TEST_F(MainWindow, SelectDeviceFindsTheRowOfItsObject) {
  ListDevices(dlg, {{0x01, 1, "10.0.0.9"}, {0x02, 1, "10.0.0.3"}});
  CQuillbox* second = dlg.DeviceAt(1);
  dlg.SelectDevice(second);
  EXPECT_EQ(dlg.SelectedDevice(), second);
  dlg.SelectDevice(nullptr);  // no such row: nothing changes
  EXPECT_EQ(dlg.SelectedDevice(), second);
}

TEST_F(MainWindow, AClickInTheListDuringALongOperationRecomputesTheButtons) {
  // The busy display of a queued transfer or upgrade (no exchange waits):
  // a click picks another device and offers its commands, so its own
  // operation can be queued behind. (During an exchange clicks do nothing;
  // that needs a real exchange, see the web launch tests.)
  ListDevices(dlg, {{0x01, 1, "10.0.0.6"}, {0x02, 48, "10.0.0.7"}});
  dlg.BeginBusy(300000, "Upgrading 00:C0:3A:01:02:01");
  EXPECT_EQ(ActionStates(), std::vector<bool>(6, false));
  ClickRow(dlg, RowOf(dlg, "10.0.0.6"));
  EXPECT_EQ(ActionStates(), std::vector<bool>(6, true));
  ClickRow(dlg, RowOf(dlg, "10.0.0.7"));
  EXPECT_EQ(ActionStates(), (std::vector<bool>{true, false, false, false, true, true}));
  EXPECT_EQ(Text(dlg, IDC_WEB_CONFIGURATION), TELNET_BUTTON_TEXT);
  // The busy display itself goes on.
  EXPECT_TRUE(dlg.IsBusy());
  EXPECT_EQ(Text(dlg, IDC_EXIT), "Cancel");
  EXPECT_FALSE(Enabled(dlg, IDC_SCAN));
  dlg.EndBusy();  // the end of the operation recomputes them
  EXPECT_EQ(ActionStates(), (std::vector<bool>{true, false, false, false, true, true}));
}

TEST_F(MainWindow, BusyDisplayCountsDownOncePerSecond) {
  dlg.BeginBusy(4000, "Setting network parameters");
  EXPECT_EQ(Text(dlg, IDC_EXIT), "Cancel");
  EXPECT_EQ(Text(dlg, IDC_STATUS_TEXT), "Setting network parameters");
  EXPECT_FALSE(Enabled(dlg, IDC_SCAN));
  EXPECT_FALSE(Enabled(dlg, IDC_HELP));
  EXPECT_EQ(ActionStates(), std::vector<bool>(6, false));

  std::vector<std::pair<int, std::string>> changes;  // (tick, text)
  std::string last;
  for (int tick = 0; tick < 60; ++tick) {
    dlg.ProgressTick();
    const std::string now = Text(dlg, IDC_COUNTDOWN_TEXT).toStdString();
    if (now != last) changes.emplace_back(tick, now);
    last = now;
  }
  ASSERT_EQ(changes.size(), 5u);
  const char* expected[] = {"4 seconds remaining", "3 seconds remaining", "2 seconds remaining",
                            "1 seconds remaining", "0 seconds remaining"};
  for (size_t i = 0; i < changes.size(); ++i) {
    EXPECT_EQ(changes[i].second, expected[i]);
    EXPECT_EQ(changes[i].first, static_cast<int>(i) * 10);
  }
  auto* bar = static_cast<QProgressBar*>(dlg.Control(IDC_PROGRESS));
  EXPECT_EQ(bar->maximum(), 4000);
  EXPECT_EQ(bar->value(), 4000);  // full, and it stays there
  EXPECT_EQ(dlg.ElapsedMs(), 4000);
  EXPECT_EQ(CountdownText(1000, 3000), "0 seconds remaining");
}

TEST_F(MainWindow, TheTimerDrivesTheBusyDisplay) {
  dlg.BeginBusy(12000, "Scanning");
  QTRY_VERIFY_WITH_TIMEOUT(dlg.ElapsedMs() >= 300, 5000);
  EXPECT_EQ(Text(dlg, IDC_COUNTDOWN_TEXT), "12 seconds remaining");
  dlg.EndBusy();
  const int stopped = dlg.ElapsedMs();
  QTest::qWait(250);
  EXPECT_EQ(dlg.ElapsedMs(), stopped);  // EndBusy stopped the timer
}

TEST_F(MainWindow, CancelWhileBusyReturnsToIdleAndKeepsTheWindow) {
  dlg.BeginBusy(12000, "Scanning");
  for (int i = 0; i < 25; ++i) dlg.ProgressTick();
  static_cast<QPushButton*>(dlg.Control(IDC_EXIT))->click();
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(dlg.IsBusy());
  EXPECT_EQ(Text(dlg, IDC_EXIT), "Exit");
  EXPECT_TRUE(Text(dlg, IDC_STATUS_TEXT).isEmpty());
  EXPECT_TRUE(Text(dlg, IDC_COUNTDOWN_TEXT).isEmpty());
  EXPECT_EQ(static_cast<QProgressBar*>(dlg.Control(IDC_PROGRESS))->value(), 0);
  EXPECT_TRUE(Enabled(dlg, IDC_SCAN));
  EXPECT_TRUE(Enabled(dlg, IDC_HELP));

  // Escape cancels the same way ...
  dlg.BeginBusy(2000, "Testing");
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(Text(dlg, IDC_EXIT), "Exit");
  // ... and so does the close box.
  dlg.BeginBusy(2000, "Testing");
  dlg.close();
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(dlg.IsBusy());

  // Idle, Exit closes the window (once a double click on Cancel is over).
  QTest::qWait(EXIT_GUARD.count() + 100);
  QSignalSpy finished(&dlg, &QDialog::finished);
  static_cast<QPushButton*>(dlg.Control(IDC_EXIT))->click();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(finished.count(), 1);
}

TEST_F(MainWindow, PostedCommandsRunLaterOnTheWindowsThread) {
  dlg.PostCommand(IDC_EXIT);
  EXPECT_TRUE(dlg.isVisible());  // queued, not run on the spot
  QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 5000);
}

TEST(AboutBox, ShowsTheFamilyTitleVersionAndCopyright) {
  App();
  CAboutDlg about;
  const std::string title = LoadBrandString(IDS_TITLE);
  EXPECT_EQ(about.windowTitle().toStdString(), "About " + title);
  EXPECT_EQ(static_cast<QLabel*>(about.Control(1028))->text().toStdString(), title + " 1.0.0");
  EXPECT_EQ(static_cast<QLabel*>(about.Control(1029))->text().toStdString(), LoadBrandString(IDS_COPYRIGHT));
  ASSERT_NE(about.Control(1), nullptr);
  ASSERT_NE(about.Control(1027), nullptr);
}

TEST(PasswordPrompt, NamesTheDeviceOnThreeLines) {
  App();
  CPasswordDlg dlg("10.0.0.5", "00:C0:3A:01:02:0F");
  EXPECT_EQ(dlg.windowTitle(), "Password Required");
  EXPECT_EQ(dlg.label(), LoadBrandString(IDS_ADMIN_USER) + " password");
  const QStringList lines = QString::fromStdString(dlg.prompt()).split('\n');
  ASSERT_EQ(lines.size(), 4);  // three lines and the trailing break
  EXPECT_EQ(lines[0].toStdString(), "Please enter the password for the " + LoadBrandString(IDS_DEVICE_NAME));
  EXPECT_EQ(lines[1], "with IP Address 10.0.0.5 and ");
  EXPECT_EQ(lines[2], "Ethernet address 00:C0:3A:01:02:0F");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(static_cast<QLabel*>(dlg.Control(IDC_PASSWORD_PROMPT))->text().toStdString(), dlg.prompt());
  EXPECT_EQ(static_cast<QLabel*>(dlg.Control(IDC_PASSWORD_LABEL))->text().toStdString(), dlg.label());
}

TEST(PasswordPrompt, ReturnsWhatWasTypedEvenWhenEmpty) {
  App();
  {
    CPasswordDlg dlg("10.0.0.5", "00:C0:3A:01:02:0F");
    dlg.show();
    auto* edit = static_cast<QLineEdit*>(dlg.Control(IDC_PASSWORD_EDIT));
    EXPECT_TRUE(edit->text().isEmpty());
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
    QTest::keyClicks(edit, "s3cret pw");
    static_cast<QPushButton*>(dlg.Control(1))->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.password(), "s3cret pw");
  }
  {
    CPasswordDlg dlg("10.0.0.5", "00:C0:3A:01:02:0F");
    dlg.show();
    QTest::keyClick(dlg.Control(IDC_PASSWORD_EDIT), Qt::Key_Return);  // OK is the default
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.password(), "");
  }
  {
    CPasswordDlg dlg("10.0.0.5", "00:C0:3A:01:02:0F");
    dlg.show();
    static_cast<QPushButton*>(dlg.Control(2))->click();
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
  }
}

TEST(Bitmaps, PictureAndRowImages) {
  App();
  EXPECT_EQ(LoadResBitmap(IDB_PICTURE).size(), QSize(100, 100));
  EXPECT_EQ(LoadResBitmap(IDB_ROW_IMAGES).size(), QSize(32, 13));
  EXPECT_TRUE(LoadResBitmap(999).isNull());
  EXPECT_TRUE(RowImage(2).isNull());

  auto dominant = [](const QImage& img, bool wantRed) {
    int opaque = 0, hits = 0;
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x) {
        const QColor c = img.pixelColor(x, y);
        if (c.alpha() == 0) continue;
        ++opaque;
        const bool red = c.red() > 90 && c.green() < 60 && c.blue() < 60;
        const bool green = c.green() > 90 && c.red() < 60 && c.blue() < 60;
        if (wantRed ? red : green) ++hits;
      }
    return std::make_pair(opaque, hits);
  };
  const QImage cross = RowImage(0).pixmap(16, 13).toImage();
  const QImage tick = RowImage(1).pixmap(16, 13).toImage();
  EXPECT_EQ(cross.pixelColor(0, 0).alpha(), 0);  // white is transparent
  EXPECT_EQ(tick.pixelColor(15, 12).alpha(), 0);
  auto [crossOpaque, crossRed] = dominant(cross, true);
  auto [tickOpaque, tickGreen] = dominant(tick, false);
  EXPECT_GT(crossRed, 8);
  EXPECT_EQ(crossRed, crossOpaque);
  EXPECT_GT(tickGreen, 8);
  EXPECT_EQ(tickGreen, tickOpaque);
}

}  // namespace
