// Firmware upgrades of simulated devices through the main window and the
// real upgrade library: success, a refused password, a kind without FTP
// upgrade, and cancel while the device restarts.
#include <gtest/gtest.h>

#include <algorithm>

#include <QLabel>
#include <QTimer>
#include <dlfcn.h>
#include <unistd.h>

#include "explorer/app/OperationCommands.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/res/Strings.h"
#include "explorer/upgrade/UpgradeLibrary.h"
#include "tests/operations/GuiHarness.h"
#include "support/WindowHandlers.h"

namespace {

using namespace guitest;
using namespace std::chrono_literals;

class UpgradeCommandTest : public WindowSuite<UpgradeCommandTest> {
 protected:
  static void SetUpTestSuite() {
    StartDevices("upgrade", {"--only", "ftp", "--set", "restart-ms=1500"}, [](const std::string& d) {
      WriteAll(d + "/release-1.pak", std::string(300000, '\x5a') + std::string("\0tail", 5));
      return "00:50:C2:66:00:01 0 127.0.0.41 255.0.0.0 kqe ftp-log=" + d + "/ftp1.log\n"
             "00:50:C2:66:00:02 1 127.0.0.42 255.0.0.0 other ftp-log=" + d + "/ftp2.log\n"
             "00:50:C2:66:00:03 0x10 127.0.0.43 255.0.0.0 kqe\n"
             "00:50:C2:66:00:04 2 127.0.0.44 255.0.0.0 kqe ftp-log=" + d + "/ftp4.log\n";
    });
  }
  void SetUp() override {
    WindowSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // A sanitizer's dlopen looks from its own runtime, not from the test
    // with its RUNPATH: load the library by path first, so the binding's
    // load by name finds it already there.
    static void* preloaded = ::dlopen(QUILL_BIN_DIR "/QUILLBOX.DLL", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(preloaded, nullptr) << ::dlerror();
#endif
    ASSERT_EQ(BindUpgradeLibrary(), 0) << "QUILLBOX.DLL beside the test";
    OpenWindow({{1, 0, 0x7F000029}, {2, 1, 0x7F00002A}, {3, 0x10, 0x7F00002B}, {4, 2, 0x7F00002C},
                {5, 0, 0x7F00002D}});
  }

  void Click(CQuillbox* q) { WindowSuite::Click(q, IDC_UPGRADE_FIRMWARE); }
  // An upgrade waits for the device's restart.
  bool WaitBoxes(size_t n, std::chrono::seconds limit = std::chrono::seconds(60)) {
    return WindowSuite::WaitBoxes(n, limit);
  }
};

TEST_F(UpgradeCommandTest, UpgradeRunsToTheEnd) {
  ui.fileAnswers = {Path("release-1.pak")};
  Click(devices[0]);
  ASSERT_EQ(ui.fileRequests.size(), 1u);
  EXPECT_FALSE(ui.fileRequests[0].save);
  EXPECT_EQ(ui.fileRequests[0].title, "Upgrade Osprey Panel (00:50:C2:66:00:01)");
  EXPECT_EQ(ui.fileRequests[0].filter, "Pak Files (*.pak);;All Files (*)");
  EXPECT_EQ(ui.fileRequests[0].defaultSuffix, "pak");
  EXPECT_EQ(ui.fileRequests[0].initialPath, "");
  EXPECT_TRUE(dlg->IsBusy());
  EXPECT_EQ(static_cast<QLabel*>(dlg->Control(IDC_STATUS_TEXT))->text().toStdString(),
            "Upgrading 00:50:C2:66:00:01");
  ASSERT_TRUE(WaitBoxes(1));
  EXPECT_EQ(ui.boxes[0].text, "Operation completed successfully") << ui.boxes[0].text;
  EXPECT_EQ(ui.boxes[0].caption, "Operation Success");
  EXPECT_FALSE(dlg->IsBusy());
  const std::string log = ReadAll(Path("ftp1.log"));
  EXPECT_NE(log.find("STOR release.pak"), std::string::npos) << log;
  EXPECT_NE(log.find("SITE Upgrade"), std::string::npos) << log;
  EXPECT_NE(log.find("SITE stable"), std::string::npos) << log;
  EXPECT_EQ(devices[0]->firmwarePath, Path("release-1.pak"));
}

TEST_F(UpgradeCommandTest, RefusedPasswordIsAskedForAndTheUpgradeRunsAgain) {
  ui.fileAnswers = {Path("release-1.pak"), Path("release-1.pak")};
  ui.passwordAnswers = {std::string("other")};
  Click(devices[1]);
  ASSERT_TRUE(WaitBoxes(1));
  ASSERT_EQ(ui.prompts.size(), 1u);
  EXPECT_EQ(ui.prompts[0], "127.0.0.42 00:50:C2:66:00:02");
  // The whole command ran again, its dialog offering the image chosen before.
  ASSERT_EQ(ui.fileRequests.size(), 2u);
  EXPECT_EQ(ui.fileRequests[1].initialPath, Path("release-1.pak"));
  EXPECT_EQ(ui.boxes[0].text, "Operation completed successfully") << ui.boxes[0].text;
  const std::string log = ReadAll(Path("ftp2.log"));
  // Kind 1 is marked stable as well; the first login was refused.
  EXPECT_NE(log.find("SITE stable"), std::string::npos) << log;
}

TEST_F(UpgradeCommandTest, FailuresShowTheLibrarysTextUnderOperationFailure) {
  const struct {
    const char* what;
    size_t device;
    const char* image;
    const char* text;  // none: any text, as long as there is one
  } cases[] = {
      {"a kind without FTP upgrade", 2, "release-1.pak", "Firmware does not support FTP upgrade"},
      {"an image that is not there", 0, "no-such.pak", nullptr},
      // Nothing listens on the fifth device's address: the connection is
      // refused before any reply line exists, and the library's text for
      // that is empty. It is shown as it is, not replaced.
      {"a device that never answers", 4, "release-1.pak", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ui.boxes.clear();
    ui.fileAnswers = {Path(c.image)};
    Click(devices[c.device]);
    ASSERT_TRUE(WaitBoxes(1));
    EXPECT_EQ(ui.boxes[0].caption, "Operation Failure");
    EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Stop);
    if (c.text) {
      EXPECT_EQ(ui.boxes[0].text, c.text);
    } else {
      EXPECT_NE(ui.boxes[0].text, "");
    }
    EXPECT_FALSE(dlg->IsBusy());
    EXPECT_FALSE(QueueBusy());
  }
}

TEST_F(UpgradeCommandTest, CancelWhileTheDeviceRestartsShowsNothing) {
  ui.fileAnswers = {Path("release-1.pak")};
  Click(devices[3]);
  ASSERT_TRUE(WaitFor([&] { return ReadAll(Path("ftp4.log")).find("SITE Upgrade") != std::string::npos; },
                      30s));
  Spin(1500ms);
  dlg->CancelOrExit();
  EXPECT_FALSE(QueueBusy());
  ASSERT_TRUE(WaitFor([&] { return !dlg->IsBusy(); }, 30s));
  Spin(300ms);
  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  EXPECT_EQ(ReadAll(Path("ftp4.log")).find("SITE stable"), std::string::npos);
}

TEST_F(UpgradeCommandTest, ScanIsRefusedWhileACancelledWorkerStillRuns) {
  CQuillbox* d = devices[3];
  // The device's log goes on from the earlier tests: wait for a new line.
  auto upgrades = [&] {
    const std::string log = ReadAll(Path("ftp4.log"));
    size_t n = 0;
    for (size_t at = log.find("SITE Upgrade"); at != std::string::npos; at = log.find("SITE Upgrade", at + 1)) ++n;
    return n;
  };
  const size_t before = upgrades();
  ui.fileAnswers = {Path("release-1.pak")};
  Click(d);
  ASSERT_TRUE(WaitFor([&] { return upgrades() > before; }, 30s));
  // The first Cancel empties the queue; the worker stays inside Upgrade
  // until the library reaches its next cancel point.
  dlg->CancelOrExit();
  EXPECT_FALSE(QueueBusy());
  EXPECT_TRUE(dlg->IsBusy());
  // The second (Escape, the close box) ends the busy display and so
  // enables Scan, with the worker still there.
  dlg->CancelOrExit();
  EXPECT_FALSE(dlg->IsBusy());
  ASSERT_TRUE(Operations().IsRunning(d));
  dlg->RunCommand(IDC_SCAN);
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg));
  EXPECT_EQ(dlg->DeviceList().topLevelItemCount(), 5);
  EXPECT_TRUE(dlg->Devices().Contains(d));
  EXPECT_FALSE(dlg->IsBusy()) << "a scan started";

  // The late report is handled for the device that is still there, quietly.
  ASSERT_TRUE(WaitFor([&] { return !Operations().IsRunning(d); }, 30s));
  Spin(200ms);
  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  EXPECT_TRUE(dlg->Devices().Contains(d));

  // With no worker left the scan runs (cancelled at once here).
  QTimer::singleShot(100, dlg.get(), [this] { dlg->CancelOrExit(); });
  dlg->RunCommand(IDC_SCAN);
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg));
  EXPECT_EQ(dlg->DeviceList().topLevelItemCount(), 0);
  devices.clear();
}

TEST_F(UpgradeCommandTest, ClosingTheWindowDuringAnUpgradeWaitsForIt) {
  ui.fileAnswers = {Path("release-1.pak")};
  Click(devices[3]);
  ASSERT_TRUE(WaitFor([&] { return ReadAll(Path("ftp4.log")).find("STOR") != std::string::npos; }, 30s));
  // Cancel, then close at once: the window's devices and the library stay
  // until the worker inside Upgrade has come out.
  dlg->CancelOrExit();
  dlg.reset();
  devices.clear();
  EXPECT_FALSE(QueueBusy());
  ReleaseUpgradeLibrary();
  Spin(300ms);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(UpgradeCommandTest, DialogCancelledQueuesNothing) {
  ui.fileAnswers = {std::nullopt};
  Click(devices[0]);
  EXPECT_FALSE(dlg->IsBusy());
  EXPECT_FALSE(QueueBusy());
}

// Several rows: the image asked once and offered for the others; a refused
// password runs only that device again, without any dialog; the status line
// says which device of how many runs.
TEST_F(UpgradeCommandTest, SeveralRowsOneImageAndOnlyTheRefusedOneAgain) {
  ui.fileAnswers = {Path("release-1.pak")};
  ui.questionAnswers = {true};
  ui.passwordAnswers = {std::string("other")};
  auto* status = static_cast<QLabel*>(dlg->Control(IDC_STATUS_TEXT));
  // The kind-1 device refuses the default password, the kind-2 one takes it.
  // The tests before cancelled the kind-2 device's upgrades: it may still be
  // restarting.
  Spin(3s);
  ClickSeveral({devices[1], devices[3]}, IDC_UPGRADE_FIRMWARE);
  ASSERT_EQ(ui.fileRequests.size(), 1u);
  ASSERT_EQ(ui.questions.size(), 1u);
  EXPECT_EQ(ui.questions[0], "Use " + Path("release-1.pak") + " for the other 1 selected device?");
  EXPECT_EQ(status->text().toStdString(), "Upgrading 00:50:C2:66:00:02 (1 of 2)");
  EXPECT_EQ(devices[3]->firmwarePath, Path("release-1.pak"));
  std::vector<std::string> statuses;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const std::string now = status->text().toStdString();
    if (!now.empty() && (statuses.empty() || statuses.back() != now)) statuses.push_back(now);
  });
  watch.start(20);
  ASSERT_TRUE(WaitBoxes(2, std::chrono::seconds(90)));
  watch.stop();
  ASSERT_EQ(ui.prompts.size(), 1u);
  EXPECT_EQ(ui.prompts[0], "127.0.0.42 00:50:C2:66:00:02");
  EXPECT_TRUE(ui.promptOffers[0]) << "the other device had not finished";
  EXPECT_EQ(ui.boxes[0].text, "Operation completed successfully") << ui.boxes[0].text;
  EXPECT_EQ(ui.boxes[1].text, "Operation completed successfully") << ui.boxes[1].text;
  // No second dialog, no second question: only the refused device ran again.
  EXPECT_EQ(ui.fileRequests.size(), 1u);
  EXPECT_EQ(ui.questions.size(), 1u);
  EXPECT_EQ(devices[3]->password, LoadBrandString(IDS_DEFAULT_PASSWORD));  // the box was not ticked
  // After the refusal the second device runs, then the first again, as a
  // run of its own.
  EXPECT_EQ(statuses, (std::vector<std::string>{"Upgrading 00:50:C2:66:00:04 (2 of 3)",
                                                "Upgrading 00:50:C2:66:00:02 (3 of 3)"}));
  EXPECT_TRUE(WaitFor([&] { return !dlg->IsBusy() && !QueueBusy(); }));
}

// No to the question: the dialog per row, as for one device at a time;
// a cancelled dialog skips its row only.
TEST_F(UpgradeCommandTest, SeveralRowsNoToTheQuestionGivesADialogPerRow) {
  ui.fileAnswers = {Path("no-such-1.pak"), std::nullopt, Path("no-such-3.pak")};
  ui.questionAnswers = {false};
  ClickSeveral({devices[0], devices[2], devices[4]}, IDC_UPGRADE_FIRMWARE);
  ASSERT_EQ(ui.fileRequests.size(), 3u);
  EXPECT_EQ(ui.questions.size(), 1u);
  EXPECT_EQ(ui.questions[0], "Use " + Path("no-such-1.pak") + " for the other 2 selected devices?");
  // In list order.
  EXPECT_EQ(ui.fileRequests[0].title, "Upgrade Osprey Panel (00:50:C2:66:00:01)");
  EXPECT_EQ(ui.fileRequests[1].title, "Upgrade Osprey Panel (00:50:C2:66:00:03)");
  EXPECT_EQ(ui.fileRequests[2].title, "Upgrade Osprey Panel (00:50:C2:66:00:05)");
  ASSERT_TRUE(WaitBoxes(2));
  Spin(std::chrono::milliseconds(300));
  EXPECT_EQ(ui.boxes.size(), 2u) << "the cancelled row ran";
  EXPECT_EQ(devices[2]->firmwarePath, "");
  EXPECT_EQ(devices[4]->firmwarePath, Path("no-such-3.pak"));
  EXPECT_TRUE(WaitFor([&] { return !dlg->IsBusy() && !QueueBusy(); }));
}

}  // namespace
