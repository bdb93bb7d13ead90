// The main window driving real exchanges in the private network: a scan
// of simulated devices, and Cancel in the middle of one.
#include <gtest/gtest.h>

#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <chrono>

#include "AppTestSupport.h"
#include "support/ScriptedUi.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/res/Strings.h"
#include "support/WindowHandlers.h"

using namespace apptest;

namespace {

class ScanWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    dlg_ = std::make_unique<CExplorerDlg>(ui_);
    dlg_->show();
    QCoreApplication::processEvents();
  }
  QPushButton* Button(int id) { return static_cast<QPushButton*>(dlg_->Control(id)); }

  ScriptedUi ui_;
  std::unique_ptr<CExplorerDlg> dlg_;
};

TEST_F(ScanWindow, CancelStopsTheScanAndRestoresTheIdleWindow) {
  QString statusDuring, exitDuring;
  bool scanEnabledDuring = true;
  QTimer::singleShot(600, dlg_.get(), [&] {
    statusDuring = Text(*dlg_, IDC_STATUS_TEXT);
    exitDuring = Text(*dlg_, IDC_EXIT);
    scanEnabledDuring = Enabled(*dlg_, IDC_SCAN);
    Button(IDC_EXIT)->click();
  });
  const auto start = std::chrono::steady_clock::now();
  Button(IDC_SCAN)->click();
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_FALSE(statusDuring.isEmpty());
  EXPECT_EQ(exitDuring, "Cancel");
  EXPECT_FALSE(scanEnabledDuring);
  // Stopped inside its first pass, not after the three.
  EXPECT_LT(took, std::chrono::milliseconds(4400));
  EXPECT_TRUE(dlg_->isVisible());
  EXPECT_FALSE(dlg_->IsBusy());
  EXPECT_EQ(Text(*dlg_, IDC_EXIT), "Exit");
  EXPECT_TRUE(Text(*dlg_, IDC_STATUS_TEXT).isEmpty());
  EXPECT_TRUE(Text(*dlg_, IDC_COUNTDOWN_TEXT).isEmpty());
  EXPECT_EQ(static_cast<QProgressBar*>(dlg_->Control(IDC_PROGRESS))->value(), 0);
  EXPECT_TRUE(Enabled(*dlg_, IDC_SCAN));
}

TEST_F(ScanWindow, ScannedDevicesCanBeClickedAndDriveTheButtons) {
  auto sim = testsupport::SimProcess::WithDevices(
      "00:50:C2:20:00:01 0    127.0.0.41 255.0.0.0 admin\n"
      "00:50:C2:20:00:02 0x30 127.0.0.42 255.0.0.0 admin\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Button(IDC_SCAN)->click();
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  ASSERT_EQ(dlg_->DeviceList().topLevelItemCount(), 2) << (ui_.boxes.empty() ? "" : ui_.boxes[0].text);
  EXPECT_EQ(Text(*dlg_, IDC_EXIT), "Exit");
  EXPECT_FALSE(Enabled(*dlg_, IDC_WEB_CONFIGURATION));  // nothing selected yet
  // The keyboard is on the list, not on Exit, where a Space would quit.
  EXPECT_EQ(dlg_->focusWidget(), &dlg_->DeviceList());
  QTest::keyClick(dlg_->focusWidget(), Qt::Key_Space);
  EXPECT_TRUE(dlg_->isVisible());

  ClickRow(*dlg_, RowOf(*dlg_, "127.0.0.42"));
  EXPECT_EQ(Text(*dlg_, IDC_WEB_CONFIGURATION), TELNET_BUTTON_TEXT);
  EXPECT_FALSE(Enabled(*dlg_, IDC_UPGRADE_FIRMWARE));
  ClickRow(*dlg_, RowOf(*dlg_, "127.0.0.41"));
  EXPECT_EQ(Text(*dlg_, IDC_WEB_CONFIGURATION), WEB_BUTTON_TEXT);
  EXPECT_TRUE(Enabled(*dlg_, IDC_UPGRADE_FIRMWARE));
  ASSERT_NE(dlg_->SelectedDevice(), nullptr);
  EXPECT_EQ(dlg_->SelectedDevice()->password, LoadBrandString(IDS_DEFAULT_PASSWORD));
}

// Whatever order the user clicked for, a new scan lists in its own: by
// address. The column of the way each device answered shows what the
// scan learnt.
TEST_F(ScanWindow, ANewScanListsByAddressAndShowsHowEachAnswered) {
  auto sim = testsupport::SimProcess::WithDevices(
      "00:50:C2:20:00:09 0 127.0.0.45 255.0.0.0 admin\n"
      "00:50:C2:20:00:01 1 127.0.0.47 255.0.0.0 admin\n"
      "00:50:C2:20:00:05 0x30 127.0.0.46 255.0.0.0 admin\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  auto& list = dlg_->DeviceList();
  auto ips = [&] {
    std::vector<std::string> out;
    for (int i = 0; i < list.topLevelItemCount(); ++i) out.push_back(list.topLevelItem(i)->text(1).toStdString());
    return out;
  };
  const std::vector<std::string> byAddress = {"127.0.0.45", "127.0.0.46", "127.0.0.47"};
  Button(IDC_SCAN)->click();
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  ASSERT_EQ(ips(), byAddress) << (ui_.boxes.empty() ? "" : ui_.boxes[0].text);
  list.SortBy(CDeviceListView::COLUMN_MAC);
  ASSERT_EQ(ips(), (std::vector<std::string>(byAddress.rbegin(), byAddress.rend())));

  list.SetColumnShown(LIST_COLUMN_VIA, true);
  list.SetColumnShown(LIST_COLUMN_KIND, true);
  Button(IDC_SCAN)->click();
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  EXPECT_EQ(ips(), byAddress);
  EXPECT_EQ(list.Order().column, -1);
  for (int row = 0; row < list.topLevelItemCount(); ++row) {
    CQuillbox* q = dlg_->DeviceAt(row);
    ASSERT_NE(q, nullptr);
    const std::string via = dlg_->ViaOf(*q).text;
    EXPECT_FALSE(via.empty());
    EXPECT_EQ(list.topLevelItem(row)->text(LIST_COLUMN_VIA).toStdString(), via);
  }
  EXPECT_EQ(list.topLevelItem(1)->text(LIST_COLUMN_KIND).toStdString(), "48 (telnet)");
  EXPECT_TRUE(list.IsColumnShown(LIST_COLUMN_VIA)) << "the user's columns stay";
}

// F5 scans as the Scan button does; pressed again during the scan (Scan
// disabled) it starts nothing.
TEST_F(ScanWindow, F5Scans) {
  dlg_->activateWindow();
  bool busyDuring = false;
  int handlersDuring = 0;
  QTimer::singleShot(300, dlg_.get(), [&] {
    busyDuring = dlg_->IsBusy() && dlg_->InExchange();
    QTest::keyClick(dlg_.get(), Qt::Key_F5);
    handlersDuring = dlg_->HandlersRunning();
    Button(IDC_EXIT)->click();
  });
  QTest::keyClick(dlg_.get(), Qt::Key_F5);
  EXPECT_EQ(dlg_->HandlersRunning(), 1);
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  EXPECT_TRUE(busyDuring);
  EXPECT_EQ(handlersDuring, 1);
  EXPECT_FALSE(dlg_->IsBusy());
}

TEST_F(ScanWindow, ADevicesStatusOfAllOnesIsItsAnswerNotANetworkingFailure) {
  // 0xFFFFFFFF reads as -1, the transport's own code for a request that
  // could not be sent; the device's refusal must not end the scan as one.
  auto sim = testsupport::SimProcess::WithDevices(
      "00:50:C2:20:00:03 0 127.0.0.43 255.0.0.0 admin status=0xFFFFFFFF\n", {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  int passesSeen = 0;
  // Cancelled in the second pass: the first one ran to its end.
  QTimer::singleShot(5000, dlg_.get(), [&] {
    passesSeen = dlg_->IsBusy() ? 2 : 1;
    Button(IDC_EXIT)->click();
  });
  Button(IDC_SCAN)->click();
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  EXPECT_EQ(passesSeen, 2) << "the scan ended after its first pass";
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Unknown error");
  EXPECT_EQ(ui_.boxes[0].caption, "Error");
  EXPECT_EQ(dlg_->DeviceList().topLevelItemCount(), 0);
}

// The scan waits on the network off the window's thread: its click returns
// at once, the window's events (here a 20 ms timer) run beside it and never
// inside its handler, and its result comes back as an event.
TEST_F(ScanWindow, TheWindowsEventsRunBesideTheScanNeverInsideIt) {
  bool inHandler = false;
  int ticksInside = 0, ticksBeside = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { ++(inHandler ? ticksInside : ticksBeside); });
  tick.start(20);
  QTimer::singleShot(600, dlg_.get(), [&] { Button(IDC_EXIT)->click(); });
  const auto start = std::chrono::steady_clock::now();
  inHandler = true;
  Button(IDC_SCAN)->click();
  inHandler = false;
  const bool busyAfterClick = dlg_->IsBusy() && dlg_->InExchange();
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  const auto took = std::chrono::steady_clock::now() - start;
  tick.stop();

  EXPECT_EQ(ticksInside, 0) << "events ran inside the Scan handler";
  EXPECT_TRUE(busyAfterClick) << "the click waited for the scan's end";
  // Some 30 ticks until the Cancel; a loaded machine may drop a few.
  EXPECT_GE(ticksBeside, 10);
  EXPECT_LT(took, std::chrono::milliseconds(4400));
  EXPECT_FALSE(dlg_->IsBusy());
  EXPECT_TRUE(Enabled(*dlg_, IDC_SCAN));
}

// A second Cancel ends nothing more, and until the cancelled exchange's
// result has been handled no Scan starts: the window has one transport, and
// the device objects a new scan would free may still be in use.
TEST_F(ScanWindow, NoScanStartsBeforeTheCancelledOnesResultIsHandled) {
  bool scanEnabled = true, stillInExchange = false;
  int handlers = 0;
  QTimer::singleShot(300, dlg_.get(), [&] {
    dlg_->CancelOrExit();
    dlg_->CancelOrExit();
    scanEnabled = Enabled(*dlg_, IDC_SCAN);
    dlg_->RunCommand(IDC_SCAN);
    Button(IDC_SCAN)->click();
    stillInExchange = dlg_->InExchange();
    handlers = dlg_->HandlersRunning();
  });
  const auto start = std::chrono::steady_clock::now();
  Button(IDC_SCAN)->click();
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_FALSE(scanEnabled);
  EXPECT_TRUE(stillInExchange);
  EXPECT_EQ(handlers, 1) << "a second Scan handler started";
  // A second scan would have run its 13.2 s.
  EXPECT_LT(took, std::chrono::milliseconds(4400));
  EXPECT_TRUE(dlg_->isVisible());
  EXPECT_FALSE(dlg_->IsBusy());
  EXPECT_TRUE(Enabled(*dlg_, IDC_SCAN));
  EXPECT_LE(ui_.boxes.size(), 1u) << "more than one scan told its outcome";
}

}  // namespace
