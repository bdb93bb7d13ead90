// Opening a device's configuration client, against real TCP listeners in
// the private network and a recording stand-in for the browser.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "support/Ipv4Socket.h"
#include "support/NetGuard.h"
#include "support/ScriptedUi.h"
#include "explorer/app/ProcessLauncher.h"
#include "explorer/app/WebLaunch.h"
#include "explorer/res/Strings.h"
#include "support/WindowHandlers.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

// A device's open TCP port: accepts connections (backlog) and never talks.
class Listener {
 public:
  Listener(const char* ip, uint16_t port, int backlog = 16) {
    fd_ = testsupport::BoundSocket(SOCK_STREAM, ip, port);
    ok_ = fd_ >= 0 && listen(fd_, backlog) == 0;
  }
  ~Listener() {
    for (int fd : accepted_) close(fd);
    if (fd_ >= 0) close(fd_);
  }
  // Takes one waiting connection off the queue (bounded: never blocks).
  bool AcceptOne() {
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK);
    if (fd < 0) return false;
    accepted_.push_back(fd);
    return true;
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::vector<int> accepted_;
};

// A client connection that sits in a listener's queue until it is closed.
class Client {
 public:
  Client(const char* ip, uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = testsupport::Ipv4Address(ip, port);
    ok_ = fd_ >= 0 && connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

std::vector<bool> ActionStates(CExplorerDlg& dlg) {
  std::vector<bool> states;
  for (int id : {IDC_WEB_CONFIGURATION, IDC_GET_CONFIGURATION, IDC_SET_CONFIGURATION,
                 IDC_UPGRADE_FIRMWARE, IDC_SET_IP_ADDRESS, IDC_TEST_CONNECTION})
    states.push_back(Enabled(dlg, id));
  return states;
}

std::string ReadWhenThere(const fs::path& file, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (fs::exists(file)) {
      std::ifstream in(file);
      std::stringstream ss;
      ss << in.rdbuf();
      return ss.str();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "<nothing started>";
}

class WebLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    App();
    dir_ = fs::temp_directory_path() / ("app_web_" + std::to_string(getpid()));
    fs::create_directories(dir_ / "bin");
    recorder_ = fs::path(QUILL_BIN_DIR) / "app_argv_recorder";
    // The desktop opener of this test is the recorder too.
    fs::create_symlink(recorder_, dir_ / "bin" / "xdg-open");
    record_ = dir_ / "argv.txt";
    setenv("QUILL_RECORD_FILE", record_.c_str(), 1);
    setenv("BROWSER", recorder_.c_str(), 1);
    oldPath_ = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (dir_ / "bin").c_str(), 1);
    dlg_ = std::make_unique<CExplorerDlg>(ui_);
    dlg_->show();
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    dlg_.reset();
    if (!oldPath_.empty()) setenv("PATH", oldPath_.c_str(), 1);
    unsetenv("BROWSER");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Select(const std::string& ip) {
    QTreeWidgetItem* row = RowOf(*dlg_, ip);
    ASSERT_NE(row, nullptr) << ip;
    ClickRow(*dlg_, row);
  }
  void ClickWeb() {
    static_cast<QPushButton*>(dlg_->Control(IDC_WEB_CONFIGURATION))->click();
    ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  }

  ScriptedUi ui_;
  std::unique_ptr<CExplorerDlg> dlg_;
  fs::path dir_, recorder_, record_;
  std::string oldPath_;
};

TEST_F(WebLaunch, ReachableDeviceOpensTheBrowserAtItsAddress) {
  Listener web("127.0.0.21", 80);
  ASSERT_TRUE(web.ok());
  ListDevices(*dlg_, {{0x21, 0, "127.0.0.21"}});
  Select("127.0.0.21");
  ClickWeb();
  EXPECT_EQ(ReadWhenThere(record_, 5000), "netscape\nhttp://127.0.0.21\n");
  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_TRUE(ui_.networkDialogs.empty());
  EXPECT_FALSE(dlg_->IsBusy());
  EXPECT_EQ(Text(*dlg_, IDC_EXIT), "Exit");
  EXPECT_TRUE(Text(*dlg_, IDC_STATUS_TEXT).isEmpty());
}

TEST_F(WebLaunch, TelnetKindIsProbedOnPort23AndOpenedByDoubleClick) {
  Listener telnet("127.0.0.22", 23);  // nothing on port 80
  ASSERT_TRUE(telnet.ok());
  ListDevices(*dlg_, {{0x22, 48, "127.0.0.22"}});
  QTreeWidgetItem* row = RowOf(*dlg_, "127.0.0.22");
  ASSERT_NE(row, nullptr);
  auto& list = dlg_->DeviceList();
  const QPoint at = list.visualItemRect(row).center();
  QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, at);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, at);
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  EXPECT_EQ(ReadWhenThere(record_, 5000), "netscape\ntelnet://127.0.0.22\n");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(WebLaunch, ClicksAndDoubleClicksDuringAnExchangeStartNothing) {
  Listener web("127.0.0.26", 80);
  ASSERT_TRUE(web.ok());
  ListDevices(*dlg_, {{0x26, 0, "127.0.0.26"}, {0x33, 0, "10.200.0.33"}});
  Select("10.200.0.33");  // silent: its probe waits the whole 2 s
  QString statusDuring;
  std::vector<bool> actionsDuring;
  bool clicked = false;
  QTimer::singleShot(300, dlg_.get(), [&] {
    // A reachable device, clicked and double-clicked inside the probe's wait.
    QTreeWidgetItem* row = RowOf(*dlg_, "127.0.0.26");
    auto& list = dlg_->DeviceList();
    const QPoint at = list.visualItemRect(row).center();
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, at);
    // The keyboard moves the selection as well.
    QTest::keyClick(&list, Qt::Key_Up);
    QCoreApplication::processEvents();
    actionsDuring = ActionStates(*dlg_);
    statusDuring = Text(*dlg_, IDC_STATUS_TEXT);
    clicked = true;
  });
  ClickWeb();
  ASSERT_TRUE(clicked);
  EXPECT_EQ(actionsDuring, std::vector<bool>(6, false));
  EXPECT_EQ(statusDuring.toStdString(), "Attempting to connect to the " + LoadBrandString(IDS_DEVICE_NAME));
  // Only the first command ran: its probe failed, so the network dialog
  // came up once, and no browser started for the double-clicked device.
  EXPECT_EQ(ui_.networkDialogs.size(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(WebLaunch, AReportDuringTheProbeIsNoCancel) {
  // A worker's report ends the busy display first thing; the probe goes on.
  // Unreachable: the network dialog opens as it does without the report,
  // and nothing can start a second exchange meanwhile.
  ListDevices(*dlg_, {{0x32, 0, "10.200.0.32"}});
  Select("10.200.0.32");
  bool scanDuring = true;
  std::vector<bool> actionsDuring;
  QTimer::singleShot(300, dlg_.get(), [&] {
    dlg_->EndBusy();
    scanDuring = Enabled(*dlg_, IDC_SCAN);
    actionsDuring = ActionStates(*dlg_);
  });
  ClickWeb();
  EXPECT_EQ(ui_.networkDialogs.size(), 1u);
  EXPECT_FALSE(scanDuring);
  EXPECT_EQ(actionsDuring, std::vector<bool>(6, false));
  EXPECT_TRUE(Enabled(*dlg_, IDC_SCAN));

  // Reachable, but only after a while: a listener with a full queue drops
  // the probe's first SYN; once the queue has room the retry at about 1 s
  // gets through. The browser still starts.
  Listener slow("127.0.0.27", 80, 0);
  ASSERT_TRUE(slow.ok());
  Client filler("127.0.0.27", 80);
  ASSERT_TRUE(filler.ok());
  ListDevices(*dlg_, {{0x27, 0, "127.0.0.27"}});
  Select("127.0.0.27");
  QTimer::singleShot(300, dlg_.get(), [&] { dlg_->EndBusy(); });
  QTimer::singleShot(400, dlg_.get(), [&] { slow.AcceptOne(); });
  const auto start = std::chrono::steady_clock::now();
  ClickWeb();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500))
      << "the probe got through at once: the report came after it";
  EXPECT_EQ(ReadWhenThere(record_, 5000), "netscape\nhttp://127.0.0.27\n");
  EXPECT_EQ(ui_.networkDialogs.size(), 1u);
}

TEST_F(WebLaunch, StatusNamesTheDeviceWhileProbing) {
  ListDevices(*dlg_, {{0x30, 0, "10.200.0.30"}});  // silent: the probe waits
  Select("10.200.0.30");
  QString during;
  QTimer::singleShot(300, dlg_.get(), [&] { during = Text(*dlg_, IDC_STATUS_TEXT); });
  ClickWeb();
  EXPECT_EQ(during.toStdString(), "Attempting to connect to the " + LoadBrandString(IDS_DEVICE_NAME));
  // Not reachable within 2 s: the network parameters dialog instead.
  EXPECT_EQ(ui_.networkDialogs.size(), 1u);
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(WebLaunch, RefusedDeviceGetsTheNetworkDialogAndNoBrowser) {
  ListDevices(*dlg_, {{0x23, 0, "127.0.0.23"}});
  Select("127.0.0.23");
  ClickWeb();
  EXPECT_EQ(ui_.networkDialogs.size(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(WebLaunch, CancelDuringTheProbeStopsWithoutAnyDialog) {
  ListDevices(*dlg_, {{0x31, 0, "10.200.0.31"}});
  Select("10.200.0.31");
  QTimer::singleShot(200, dlg_.get(),
                     [&] { static_cast<QPushButton*>(dlg_->Control(IDC_EXIT))->click(); });
  ClickWeb();
  EXPECT_TRUE(ui_.networkDialogs.empty());
  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_FALSE(fs::exists(record_));
  EXPECT_TRUE(dlg_->isVisible());
  EXPECT_EQ(Text(*dlg_, IDC_EXIT), "Exit");
}

TEST_F(WebLaunch, FailuresToStartSayWhatWentWrong) {
  Listener web("127.0.0.24", 80);
  ASSERT_TRUE(web.ok());
  ListDevices(*dlg_, {{0x24, 0, "127.0.0.24"}});
  Select("127.0.0.24");

  setenv("BROWSER", "/nonexistent/browser", 1);
  ClickWeb();
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Unable to load /nonexistent/browser\n-1: No such file or directory");
  EXPECT_EQ(ui_.boxes[0].caption, "Error");
  EXPECT_EQ(ui_.boxes[0].icon, BoxIcon::Exclamation);

  unsetenv("BROWSER");
  fs::remove(dir_ / "bin" / "xdg-open");  // no opener either
  Select("127.0.0.24");
  ClickWeb();
  ASSERT_EQ(ui_.boxes.size(), 2u);
  EXPECT_EQ(ui_.boxes[1].text, "Unable to find default browser");
  EXPECT_EQ(ui_.boxes[1].caption, "Error");
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(WebLaunch, TelnetWithoutAnOpenerSaysSo) {
  Listener telnet("127.0.0.25", 23);
  ASSERT_TRUE(telnet.ok());
  fs::remove(dir_ / "bin" / "xdg-open");
  ListDevices(*dlg_, {{0x25, 49, "127.0.0.25"}});
  Select("127.0.0.25");
  ClickWeb();
  ASSERT_EQ(ui_.boxes.size(), 1u);
  // The box names the program that could not be started and the address.
  EXPECT_EQ(ui_.boxes[0].text, "Unable to load xdg-open for telnet://127.0.0.25\n-1: No such file or directory");
  EXPECT_EQ(ui_.boxes[0].caption, "Error");
}

}  // namespace
