// WaitForFile end to end: the export's results, the single-operation guard
// and Cancel.
#include <future>

#include "LibraryState.h"
#include "QuillboxApi.h"
#include "tftp_peer.h"

extern "C" int32_t WaitForFile(const char* filePath, uint32_t reserved, void* ownerWindow);
extern "C" int32_t Upgrade(const char* host, const char* user, const char* password, const char* imagePath,
                           int32_t deviceKind, void* ownerWindow);
extern "C" void GetLastError(const char** textOut, int32_t* codeOut);
extern "C" void Cancel(void);

using namespace tftptest;

namespace {

uint16_t FreeUdpPort() {
  Peer probe("0.0.0.0");
  return probe.Port();
}

class WaitForFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.Write("fw.pak", Pattern(1500));
    quillbox::TtftpSettings settings = FastSettings();
    settings.server.port = FreeUdpPort();
    settings.timerInterval = 20000ms;
    port_ = settings.server.port;
    quillbox::SetWaitSettings(settings);
  }
  void TearDown() override { quillbox::SetWaitSettings({}); }

  void ShortTimer(std::chrono::milliseconds interval) {
    quillbox::TtftpSettings settings = quillbox::WaitSettings();
    settings.timerInterval = interval;
    quillbox::SetWaitSettings(settings);
  }

  std::future<int32_t> StartWait() {
    return std::async(std::launch::async, [this] { return WaitForFile(path_.c_str(), 0, nullptr); });
  }

  ScratchDir dir_;
  std::string path_;
  uint16_t port_ = 0;
};

class DummyOperation : public quillbox::Operation {
 public:
  void Cancel() override { ++cancels; }
  std::atomic<int> cancels{0};
};

// Asks for the file until the server answers (the wait binds a moment after
// it starts), then fetches it all.
bool FetchWhenReady(Peer& peer, uint16_t port) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    peer.SendTo(port, Rrq("fw.pak"));
    Received r = peer.Receive(50ms);
    if (!r.arrived) continue;
    while (r.arrived && r.Opcode() == 3) {
      peer.SendTo(r.fromPort, Ack(r.Number()));
      if (r.data.size() < 516) return true;
      r = peer.Receive();
    }
    return false;
  }
  return false;
}

}  // namespace

TEST_F(WaitForFileTest, EndsWithOneAfterATransfer) {
  auto result = StartWait();
  Peer peer;
  EXPECT_TRUE(FetchWhenReady(peer, port_));
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), 1);
}

TEST_F(WaitForFileTest, EndsWithOneAtTheTimerAndTwoWaitsInARowBothRun) {
  ShortTimer(300ms);
  for (int round = 0; round < 2; ++round) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForFile(path_.c_str(), 0, nullptr), 1) << "round " << round;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms) << "round " << round;
  }
}

TEST_F(WaitForFileTest, CancelEndsWithTwoAndReleasesThePort) {
  auto result = StartWait();
  // Cancel reaches only a registered wait: repeat until it has ended.
  for (int i = 0; i < 200 && result.wait_for(20ms) != std::future_status::ready; ++i) Cancel();
  ASSERT_EQ(result.wait_for(0s), std::future_status::ready);
  EXPECT_EQ(result.get(), 2);
  Peer again("0.0.0.0", port_);
  EXPECT_TRUE(again.Bound()) << "the server port is closed when the wait returns";
  Cancel();  // nothing running: does nothing
}

TEST_F(WaitForFileTest, RefusedWithZeroWhileAnotherOperationRuns) {
  DummyOperation other;
  ASSERT_TRUE(quillbox::BeginOperation(&other));
  Peer holder("0.0.0.0", port_);  // a refused wait must not even try the port
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForFile(path_.c_str(), 0, nullptr), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  quillbox::EndOperation(&other);
  EXPECT_EQ(other.cancels, 0);
}

TEST_F(WaitForFileTest, UpgradeDuringAWaitIsRefusedAndLeavesLastErrorAlone) {
  const char* textBefore = nullptr;
  int32_t codeBefore = -1;
  GetLastError(&textBefore, &codeBefore);
  std::string before = textBefore;
  auto result = StartWait();
  Peer peer;
  // Once the server answers, the wait is registered.
  peer.SendTo(port_, Packet(2, {"x", "octet"}));
  for (int i = 0; i < 100 && !peer.Receive(50ms).arrived; ++i) peer.SendTo(port_, Packet(2, {"x", "octet"}));
  EXPECT_EQ(Upgrade("127.0.0.1", "admin", "pw", path_.c_str(), 0, nullptr), 1);
  const char* text = nullptr;
  int32_t code = -1;
  GetLastError(&text, &code);
  EXPECT_EQ(code, codeBefore);
  EXPECT_EQ(std::string(text), before);
  EXPECT_TRUE(FetchWhenReady(peer, port_));
  EXPECT_EQ(result.get(), 1);
}

TEST_F(WaitForFileTest, NullPathServesNothingButStillWaits) {
  ShortTimer(200ms);
  auto result = std::async(std::launch::async, [] { return WaitForFile(nullptr, 0, nullptr); });
  Peer peer;
  Received r;
  for (int i = 0; i < 100 && !r.arrived; ++i) {
    peer.SendTo(port_, Rrq("fw.pak"));
    r = peer.Receive(20ms);
  }
  // No path, no folder: nothing is served, not even the current directory.
  ASSERT_TRUE(r.arrived);
  EXPECT_EQ(r.Opcode(), 5);
  EXPECT_EQ(r.Number(), 2);
  EXPECT_EQ(result.get(), 1);
}
