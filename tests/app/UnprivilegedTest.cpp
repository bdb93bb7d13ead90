// The explorer's core work done by an ordinary user on a PC with two links
// (scripts/netns-links.sh --unprivileged): the simulators, started as root
// in the segments before this test gave up root, play the devices of
// links-devices-a.txt and links-devices-b.txt. Scan, set IP, connection
// test, a configuration round trip and a full upgrade through QUILLBOX.DLL
// (with its echo watch), all through the main window, one after the other.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include <QTreeWidgetItem>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "explorer/app/OperationCommands.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/protocol/ConnectionTest.h"
#include "explorer/upgrade/UpgradeLibrary.h"
#include "net/Socket.h"
#include "tests/operations/GuiHarness.h"
#include "support/WindowHandlers.h"

namespace {

using namespace guitest;
using namespace std::chrono_literals;

const char* kConfigDevice = "00:50:C2:77:00:01";  // link A, 10.10.0.21
const char* kMovedDevice = "00:50:C2:77:00:02";   // link B, 10.20.0.22

class Unprivileged : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!testsupport::InPrivateNetwork(&why) || !std::getenv("QUILL_SIM_DIR")) return;
    App();
    ui_ = std::make_unique<ScriptUi>();
    dlg_ = std::make_unique<CExplorerDlg>(*ui_);
    std::string pattern = std::filesystem::temp_directory_path().string() + "/quill-user-XXXXXX";
    if (::mkdtemp(pattern.data())) dir_ = pattern;
  }
  static void TearDownTestSuite() {
    if (dlg_) {
      WaitForRunningOperation();
      dlg_.reset();
    }
    ui_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    if (!std::getenv("QUILL_SIM_DIR") || !std::getenv("QUILL_NETNS_LINKS"))
      GTEST_SKIP() << "needs scripts/netns-links.sh with its simulators";
    if (::geteuid() == 0) GTEST_SKIP() << "runs as an ordinary user only (--unprivileged)";
    ASSERT_TRUE(dlg_ && !dir_.empty());
    ui_->boxes.clear();
  }

  static CQuillbox* Row(const char* mac) {
    auto& list = dlg_->DeviceList();
    for (int i = 0; i < list.topLevelItemCount(); ++i)
      if (list.topLevelItem(i)->text(0).toStdString() == mac) return dlg_->DeviceAt(i);
    return nullptr;
  }
  static std::vector<std::string> Column(int column) {
    std::vector<std::string> out;
    auto& list = dlg_->DeviceList();
    for (int i = 0; i < list.topLevelItemCount(); ++i) out.push_back(list.topLevelItem(i)->text(column).toStdString());
    return out;
  }
  static void Click(CQuillbox* q, int command) {
    dlg_->SelectDevice(q);
    dlg_->RunCommand(command);
    ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  }
  static bool WaitBoxes(size_t n, std::chrono::milliseconds limit = 60s) {
    return WaitFor([&] { return ui_->boxes.size() >= n; }, limit);
  }
  static std::string Path(const std::string& name) { return dir_ + "/" + name; }

  static inline std::unique_ptr<ScriptUi> ui_;
  static inline std::unique_ptr<CExplorerDlg> dlg_;
  static inline std::string dir_;
};

TEST_F(Unprivileged, TheUserHasNoRightsBeyondTheEchoRange) {
  net::Socket raw;
  EXPECT_NE(raw.Open(AF_INET, SOCK_RAW, IPPROTO_ICMP), 0) << "no raw socket: the echo watch must do without";
  EXPECT_NE(raw.Open(AF_INET, SOCK_DGRAM, IPPROTO_ICMP), EACCES) << "the range admits the user";
}

TEST_F(Unprivileged, ScanListsTheDevicesOfBothLinks) {
  dlg_->RunCommand(IDC_SCAN);
  ASSERT_TRUE(testsupport::FinishHandlers(*dlg_));
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->boxes[0].text;
  EXPECT_EQ(Column(1), (std::vector<std::string>{"0.0.0.0", "10.10.0.21", "10.20.0.22"}));
  EXPECT_EQ(Column(0), (std::vector<std::string>{"00:50:C2:77:00:03", kConfigDevice, kMovedDevice}));
}

TEST_F(Unprivileged, SetIpMovesTheDeviceOnTheSecondLink) {
  CQuillbox* q = Row(kMovedDevice);
  ASSERT_NE(q, nullptr);
  ui_->network = [](NetworkDialogData& data) {
    data.ip = inet_addr("10.20.0.88");
    data.mask = inet_addr("255.255.255.0");
    data.password = "admin";
    return true;
  };
  Click(q, IDC_SET_IP_ADDRESS);
  ui_->network = nullptr;
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->boxes[0].text;
  EXPECT_EQ(Column(1), (std::vector<std::string>{"0.0.0.0", "10.10.0.21", "10.20.0.88"}));
}

TEST_F(Unprivileged, ConnectionTestReachesTheDeviceAtItsNewAddress) {
  CQuillbox* q = Row(kMovedDevice);
  ASSERT_NE(q, nullptr);
  // The device's web side follows its move a moment after the answer.
  for (int attempt = 0; attempt < 20; ++attempt) {
    ui_->boxes.clear();
    Click(q, IDC_TEST_CONNECTION);
    ASSERT_EQ(ui_->boxes.size(), 1u);
    if (ui_->boxes[0].text == CONNECTION_OK_TEXT) break;
    Spin(100ms);
  }
  EXPECT_EQ(ui_->boxes[0].text, CONNECTION_OK_TEXT);
}

TEST_F(Unprivileged, ConfigurationRoundTripIsByteIdentical) {
  CQuillbox* q = Row(kConfigDevice);
  ASSERT_NE(q, nullptr);
  ui_->fileAnswers = {Path("got.cfg"), Path("edited.cfg"), Path("again.cfg")};
  Click(q, IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitBoxes(1));
  EXPECT_EQ(ui_->boxes[0].text, "Operation completed successfully");
  const std::string got = ReadAll(Path("got.cfg"));
  EXPECT_EQ(got.size(), 3000u);

  const std::string edited = "name=line B\nmode=fast\naddress=10.10.0.21\n";
  WriteAll(Path("edited.cfg"), edited);
  Click(q, IDC_SET_CONFIGURATION);
  ASSERT_TRUE(WaitBoxes(2));
  EXPECT_EQ(ui_->boxes[1].text, "Operation completed successfully") << ui_->boxes[1].text;
  Click(q, IDC_GET_CONFIGURATION);
  ASSERT_TRUE(WaitBoxes(3));
  EXPECT_EQ(ui_->boxes[2].text, "Operation completed successfully");
  EXPECT_EQ(ReadAll(Path("again.cfg")), edited);
}

TEST_F(Unprivileged, UpgradeThroughTheLibraryRunsToTheEnd) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  // A sanitizer's dlopen looks from its own runtime, not from the test with
  // its RUNPATH: load the library by path first.
  static void* preloaded = ::dlopen(QUILL_BIN_DIR "/QUILLBOX.DLL", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(preloaded, nullptr) << ::dlerror();
#endif
  ASSERT_EQ(BindUpgradeLibrary(), 0) << "QUILLBOX.DLL beside the test";
  CQuillbox* q = Row(kConfigDevice);
  ASSERT_NE(q, nullptr);
  WriteAll(Path("release.pak"), std::string(200000, '\x5a'));
  ui_->fileAnswers = {Path("release.pak")};
  Click(q, IDC_UPGRADE_FIRMWARE);
  ASSERT_TRUE(WaitBoxes(1, 90s));
  EXPECT_EQ(ui_->boxes[0].text, "Operation completed successfully") << ui_->boxes[0].text;
  const std::string log = ReadAll(std::string(std::getenv("QUILL_SIM_DIR")) + "/ftp-01.log");
  EXPECT_NE(log.find("SITE Upgrade"), std::string::npos) << log;
  EXPECT_NE(log.find("SITE stable"), std::string::npos) << "the echo watch saw the device come back: " << log;
}

}  // namespace
