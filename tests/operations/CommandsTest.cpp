// The configuration commands through the main window, headless, against
// simulated devices: what the user sees for each outcome, the password
// prompt and re-run, cancel, and one operation after the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <stdlib.h>

#include "explorer/app/OperationCommands.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/session/Selection.h"
#include "tests/operations/GuiHarness.h"
#include "support/WindowHandlers.h"

namespace {

using namespace guitest;
using namespace std::chrono_literals;

class CommandsTest : public WindowSuite<CommandsTest> {
 protected:
  static void SetUpTestSuite() {
    StartDevices("commands", {"--only", "http"}, [](const std::string& d) {
      WriteAll(d + "/a.cfg", "mode=fast\nname=A\n");
      return "00:50:C2:66:00:01 0 127.0.0.31 255.0.0.0 kqe config=" + d + "/a.cfg config-out=" + d + "/a.out\n"
             "00:50:C2:66:00:02 0 127.0.0.32 255.0.0.0 secret config=" + d + "/a.cfg\n"
             "00:50:C2:66:00:03 0 127.0.0.33 255.0.0.0 kqe config-bytes=2000000 http-slow=50\n"
             "00:50:C2:66:00:04 0 127.0.0.34 255.0.0.0 kqe config-bytes=30000 http-slow=20\n"
             "00:50:C2:66:00:05 0 127.0.0.35 255.0.0.0 kqe config-bytes=10 http-status=500\n";
    });
  }
  void SetUp() override {
    WindowSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    OpenWindow({{1, 0, 0x7F00001F}, {2, 0, 0x7F000020}, {3, 0, 0x7F000021}, {4, 0, 0x7F000022},
                {5, 0, 0x7F000023}});
  }

  bool WaitIdle() { return WaitFor([&] { return !dlg->IsBusy() && !QueueBusy(); }); }
};

TEST_F(CommandsTest, RoundTripShowsSuccessAndTheNextTransferRunsAtOnce) {
  CQuillbox* a = devices[0];
  ui.fileAnswers = {Path("got-a.txt"), Path("a-edited.txt")};
  Click(a, IDC_GET_CONFIGURATION);
  EXPECT_TRUE(dlg->IsBusy());
  auto* status = static_cast<QLabel*>(dlg->Control(IDC_STATUS_TEXT));
  EXPECT_EQ(status->text().toStdString(), "Retrieving configuration file");
  ASSERT_TRUE(WaitBoxes(1));
  EXPECT_EQ(ui.boxes[0].text, "Operation completed successfully");
  EXPECT_EQ(ui.boxes[0].caption, "Operation Success");
  EXPECT_EQ(ui.boxes[0].icon, BoxIcon::None);
  EXPECT_FALSE(dlg->IsBusy());
  EXPECT_EQ(ReadAll(Path("got-a.txt")), "mode=fast\nname=A\n");

  // Set configuration offers the file just stored and sends the edited one.
  WriteAll(Path("a-edited.txt"), "mode=slow\nname=A\n");
  Click(a, IDC_SET_CONFIGURATION);
  ASSERT_EQ(ui.fileRequests.size(), 2u);
  EXPECT_EQ(ui.fileRequests[1].title, "Please select a filename to load configuration file from ");
  EXPECT_EQ(ui.fileRequests[1].initialPath, Path("got-a.txt"));
  EXPECT_EQ(status->text().toStdString(), "Setting configuration file");
  ASSERT_TRUE(WaitBoxes(2));
  EXPECT_EQ(ui.boxes[1].text, "Operation completed successfully");
  EXPECT_EQ(ReadAll(Path("a.out")), "mode=slow\nname=A\n");
  EXPECT_TRUE(WaitIdle());
}

TEST_F(CommandsTest, UploadDialogCancelledDoesNothing) {
  ui.fileAnswers = {std::nullopt};
  Click(devices[0], IDC_SET_CONFIGURATION);
  EXPECT_FALSE(dlg->IsBusy());
  EXPECT_FALSE(QueueBusy());
  Spin(100ms);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(CommandsTest, RefusedPasswordIsAskedForAndTheCommandRunsAgain) {
  CQuillbox* b = devices[1];
  ui.passwordAnswers = {std::string("secret")};
  ui.fileAnswers = {Path("got-b.txt"), Path("got-b2.txt")};
  Click(b, IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitBoxes(1));
  ASSERT_EQ(ui.prompts.size(), 1u);
  EXPECT_EQ(ui.prompts[0], "127.0.0.32 00:50:C2:66:00:02");
  EXPECT_EQ(b->password, "secret");
  EXPECT_EQ(ui.boxes[0].text, "Operation completed successfully");
  EXPECT_EQ(ReadAll(Path("got-b.txt")), "mode=fast\nname=A\n");
  // The typed password stays with the device for the next transfer.
  Click(b, IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitBoxes(2));
  EXPECT_EQ(ui.prompts.size(), 1u);
  EXPECT_EQ(ui.boxes[1].text, "Operation completed successfully");
  EXPECT_TRUE(WaitIdle());
}

TEST_F(CommandsTest, PromptCancelledEndsQuietly) {
  Click(devices[1], IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitFor([&] { return !ui.prompts.empty(); }));
  EXPECT_TRUE(WaitIdle());
  Spin(200ms);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_TRUE(ui.fileRequests.empty());
  EXPECT_EQ(devices[1]->password, "kqe");
}

TEST_F(CommandsTest, FailureShowsTheTextWithTheStopIcon) {
  Click(devices[4], IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitBoxes(1));
  EXPECT_EQ(ui.boxes[0].caption, "Operation Failure");
  EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Stop);
  EXPECT_NE(ui.boxes[0].text.find("0x1F4"), std::string::npos) << ui.boxes[0].text;
  EXPECT_FALSE(dlg->IsBusy());
}

TEST_F(CommandsTest, CancelDuringASlowRetrieveShowsNothing) {
  CQuillbox* c = devices[2];
  const std::string target = Path("slow.txt");
  WriteAll(target, "kept=1\n");
  ui.fileAnswers = {target};
  Click(c, IDC_GET_CONFIGURATION);
  // Wait until the body is flowing into the file.
  ASSERT_TRUE(WaitFor([&] { return !ui.fileRequests.empty(); }));
  Spin(300ms);
  dlg->CancelOrExit();
  EXPECT_FALSE(QueueBusy());
  EXPECT_TRUE(dlg->IsBusy()) << "the busy display ends with the report, not with the click";
  ASSERT_TRUE(WaitFor([&] { return !dlg->IsBusy(); }, 10s));
  Spin(200ms);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(ReadAll(target), "kept=1\n");
}

TEST_F(CommandsTest, SecondDeviceWaitsForTheFirstReport) {
  CQuillbox* slow = devices[3];
  CQuillbox* fast = devices[0];
  ui.fileAnswers = {Path("first.txt"), Path("second.txt")};
  Click(slow, IDC_GET_CONFIGURATION);
  Click(fast, IDC_GET_CONFIGURATION);
  EXPECT_TRUE(QueueBusy());
  ASSERT_TRUE(WaitBoxes(2));
  ASSERT_EQ(ui.log.size(), 4u);
  EXPECT_EQ(ui.log[0], "file:Please enter a filename to store configuration file to");
  EXPECT_EQ(ui.log[1], "box:Operation completed successfully");
  EXPECT_EQ(ui.log[2], "file:Please enter a filename to store configuration file to");
  EXPECT_EQ(ui.log[3], "box:Operation completed successfully");
  EXPECT_EQ(ReadAll(Path("first.txt")).size(), 30000u);
  // (the device keeps what an earlier test uploaded)
  EXPECT_NE(ReadAll(Path("second.txt")).find("name=A\n"), std::string::npos);
  EXPECT_TRUE(WaitIdle());
}

TEST_F(CommandsTest, ClickOnTheRunningDeviceStartsNoSecondTransfer) {
  CQuillbox* slow = devices[3];
  ui.fileAnswers = {Path("once.txt"), Path("twice.txt")};
  Click(slow, IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitFor([&] { return Operations().IsRunning(slow); }));
  Click(slow, IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitBoxes(1));
  EXPECT_TRUE(WaitIdle());
  Spin(300ms);
  EXPECT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.fileRequests.size(), 1u);
}

TEST_F(CommandsTest, DeviceStartedWhileItsUploadDialogIsOpenKeepsItsOperation) {
  CQuillbox* slow = devices[3];
  CQuillbox* a = devices[0];
  // a's store dialog may open inside its upload dialog (a's retrieve is
  // quick once started), so the answers go by title: the store dialogs come
  // in queue order, slow's first.
  const std::string loadTitle = "Please select a filename to load configuration file from ";
  std::deque<std::string> storeAnswers = {Path("slow-first.txt"), Path("a-got.txt")};
  ui.fileAnswerFor = [&](const FileDialogRequest& r) -> std::optional<std::string> {
    if (r.title == loadTitle) return Path("a-edited.txt");
    if (storeAnswers.empty()) return std::nullopt;
    std::string next = storeAnswers.front();
    storeAnswers.pop_front();
    return next;
  };
  Click(slow, IDC_GET_CONFIGURATION);
  Click(a, IDC_GET_CONFIGURATION);
  bool started = false;
  ui.whileFileDialog = [&](const FileDialogRequest& r) {
    // The first report arrives while the upload dialog is open and starts
    // a's waiting retrieve.
    if (r.title == loadTitle) started = WaitFor([&] { return Operations().IsRunning(a); });
  };
  Click(a, IDC_SET_CONFIGURATION);
  ui.whileFileDialog = nullptr;
  ASSERT_TRUE(started);
  EXPECT_FALSE(dlg->IsBusy()) << "a dropped request shows no busy display";
  ASSERT_TRUE(WaitBoxes(2));
  EXPECT_EQ(ui.boxes[1].text, "Operation completed successfully");
  EXPECT_EQ(a->configPath, Path("a-got.txt"));
  EXPECT_TRUE(WaitIdle());
  ui.fileAnswerFor = nullptr;
}

TEST_F(CommandsTest, ClicksDuringALongOperationOfferTheCommandsOfTheClickedDevice) {
  CQuillbox* slow = devices[3];
  CQuillbox* a = devices[0];
  dlg->show();
  auto row = [&](CQuillbox* q) {
    CDeviceListView& list = dlg->DeviceList();
    for (int i = 0; i < list.topLevelItemCount(); ++i)
      if (dlg->DeviceAt(i) == q) return list.visualItemRect(list.topLevelItem(i)).center();
    return QPoint();
  };
  ui.fileAnswers = {Path("long-first.txt"), Path("long-second.txt")};
  Click(slow, IDC_GET_CONFIGURATION);
  ASSERT_TRUE(dlg->IsBusy());
  // The user clicks another device while the first transfer runs: its
  // commands are offered, and its own retrieve is queued behind.
  QTest::mouseClick(dlg->DeviceList().viewport(), Qt::LeftButton, Qt::NoModifier, row(a));
  QCoreApplication::processEvents();
  EXPECT_TRUE(dlg->IsBusy());
  ASSERT_TRUE(dlg->Control(IDC_GET_CONFIGURATION)->isEnabled());
  static_cast<QPushButton*>(dlg->Control(IDC_GET_CONFIGURATION))->click();
  EXPECT_TRUE(Operations().IsQueued(a));

  // A double-click is the web command: its probe runs and the launch
  // follows (here into a browser that is not there).
  ::setenv("BROWSER", "/nonexistent/browser", 1);
  QTest::mouseClick(dlg->DeviceList().viewport(), Qt::LeftButton, Qt::NoModifier, row(devices[4]));
  QTest::mouseDClick(dlg->DeviceList().viewport(), Qt::LeftButton, Qt::NoModifier, row(devices[4]));
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg));
  ::unsetenv("BROWSER");
  ASSERT_TRUE(WaitBoxes(3)) << ::testing::PrintToString(ui.log);
  std::vector<std::string> texts;
  for (const Box& b : ui.boxes) texts.push_back(b.text);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Operation completed successfully"), 2);
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Unable to load /nonexistent/browser\n-1: No such file or directory"),
            1);
  EXPECT_EQ(ReadAll(Path("long-first.txt")).size(), 30000u);
  EXPECT_NE(ReadAll(Path("long-second.txt")).find("name=A\n"), std::string::npos);
  EXPECT_TRUE(WaitIdle());
}

TEST_F(CommandsTest, ClosingTheWindowWaitsForTheCancelledWorker) {
  ui.fileAnswers = {Path("closing.txt")};
  Click(devices[2], IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitFor([&] { return !ui.fileRequests.empty(); }));
  dlg->CancelOrExit();
  // The window goes at once, before the worker's report was handled: its
  // devices are destroyed only after the worker has ended.
  dlg.reset();
  EXPECT_FALSE(QueueBusy());
  Spin(200ms);
  EXPECT_TRUE(ui.boxes.empty());
}

// Get configuration with several rows: one folder, one file per device
// named by its Ethernet address, no file dialog. The device refusing the
// default password asks for one, offers it for the others still to run,
// and only it runs again.
TEST_F(CommandsTest, SeveralRowsStoreIntoOneFolderAndPassTheTypedPasswordOn) {
  const std::string folder = Path("several");
  std::filesystem::create_directories(folder);
  ui.folderAnswers = {folder};
  ui.passwordAnswers = {std::string("secret")};
  ui.passwordForOthers = {true};
  // Rows .32 (refuses kqe) then .35 (takes kqe only): the password passed
  // on is refused there in turn, and that prompt is cancelled.
  ClickSeveral({devices[1], devices[4]}, IDC_GET_CONFIGURATION);
  ASSERT_EQ(ui.folderRequests.size(), 1u);
  EXPECT_EQ(ui.folderRequests[0], std::string(STORE_FOLDER_TITLE) + "|");
  EXPECT_EQ(static_cast<QLabel*>(dlg->Control(IDC_STATUS_TEXT))->text().toStdString(),
            "Retrieving configuration file (1 of 2)");
  ASSERT_TRUE(WaitBoxes(1)) << testing::PrintToString(ui.log);
  EXPECT_TRUE(WaitIdle());
  EXPECT_EQ(ui.log, (std::vector<std::string>{"folder:" + std::string(STORE_FOLDER_TITLE), "prompt:127.0.0.32",
                                              "prompt:127.0.0.35", "box:Operation completed successfully"}));
  ASSERT_EQ(ui.prompts.size(), 2u);
  EXPECT_TRUE(ui.promptOffers[0]);
  EXPECT_TRUE(ui.promptOffers[1]) << "the first device was still to run again";
  EXPECT_EQ(devices[4]->password, "secret");  // ticked: passed on
  EXPECT_TRUE(ui.fileRequests.empty()) << ui.fileRequests[0].title;
  EXPECT_EQ(ReadAll(folder + "/00-50-C2-66-00-02.txt"), "mode=fast\nname=A\n");

  // Set configuration with several rows: one file dialog, sent to each.
  ui.boxes.clear();
  WriteAll(Path("both.txt"), "mode=both\n");
  ui.fileAnswers = {Path("both.txt")};
  ClickSeveral({devices[0], devices[1]}, IDC_SET_CONFIGURATION);
  ASSERT_EQ(ui.fileRequests.size(), 1u);
  ASSERT_TRUE(WaitBoxes(2));
  EXPECT_EQ(ui.boxes[0].text, "Operation completed successfully");
  EXPECT_EQ(ui.boxes[1].text, "Operation completed successfully");
  EXPECT_EQ(ReadAll(Path("a.out")), "mode=both\n");
  EXPECT_EQ(devices[1]->configPath, Path("both.txt"));
  EXPECT_TRUE(WaitIdle());
}

// Test connection with several rows: each probed in turn, one box.
TEST_F(CommandsTest, SeveralRowsAreTestedInTurnWithOneBox) {
  ClickSeveral({devices[0], devices[1]}, IDC_TEST_CONNECTION);
  ASSERT_TRUE(WaitBoxes(1));
  Spin(100ms);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].caption, "Connection Test");
  EXPECT_EQ(ui.boxes[0].text,
            "00:50:C2:66:00:01: Network connection is OK\n00:50:C2:66:00:02: Network connection is OK");
  EXPECT_EQ(ui.boxes[0].icon, BoxIcon::None);
  EXPECT_FALSE(dlg->IsBusy());
}

}  // namespace
