// Exchanges of an ordinary user who is granted less receive buffer than the
// transport asks for: more sockets share the exchange's port. Each case
// runs its exchange as uid 65534 in a child process (the simulators stay
// root) and hands its figures back; the assertions are the parent's.
#include <unistd.h>

#include <cstring>

#include "TransportFixture.h"
#include "support/AsNobody.h"

namespace {

// Far beyond what this host grants an ordinary user (twice rmem_max), so
// the port is always shared here.
constexpr int kBeyondAnyGrant = 256 * 1024 * 1024;

struct Figures {
  bool ran = false;
  int32_t result = -99;
  int kept = 0;
  size_t sockets = 0;
  long together = 0;   // receive buffer of all the sockets
  long alone = 0;      // what one socket is granted
  long ms = 0;
  int leftOpen = 0;    // descriptors the exchange did not give back
  int32_t second = 0;  // a further wait after the one answer (by hand)
};

int GrantedAlone() {
  net::Socket s;
  int granted = 0;
  if (s.OpenUdp() != 0 || s.SetReceiveBuffer(kBeyondAnyGrant, &granted) != 0) return -1;
  return granted;
}

// `work` fills the figures as the user 65534.
Figures AsNobody(const std::function<void(CDeviceSocket&, Figures&)>& work) {
  const std::string bytes = testsupport::RunAsNobody([&] {
    Figures f;
    f.alone = GrantedAlone();
    const int before = OpenDescriptors();
    {
      CDeviceSocket device;
      device.SetReceiveBufferRequest(kBeyondAnyGrant);
      const auto start = Clock::now();
      work(device, f);
      f.ms = Ms(start);
      f.sockets = device.LastReceiveSockets();
      f.together = device.LastReceiveBuffer();
    }
    f.leftOpen = OpenDescriptors() - before;
    f.ran = true;
    return std::string(reinterpret_cast<const char*>(&f), sizeof f);
  });
  Figures f;
  if (bytes.size() == sizeof f) std::memcpy(&f, bytes.data(), sizeof f);
  return f;
}

class SharedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become uid 65534";
  }
};

TEST_F(SharedPort, ADiscoveryPassKeepsEveryAnswerAndGivesEverySocketBack) {
  SimProcess sim({"--generate", "4096", "--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const Figures f = AsNobody([](CDeviceSocket& device, Figures& out) {
    auto records = std::make_unique<DeviceRecordArray>();
    out.result = device.Discover(*records, out.kept);
  });
  ASSERT_TRUE(f.ran) << "the child could not become uid 65534";
  EXPECT_EQ(f.result, 0);
  EXPECT_EQ(f.kept, MAX_DEVICES);
  EXPECT_GT(f.sockets, 1u) << "one socket was granted " << f.alone << " bytes";
  EXPECT_LE(f.sockets, CDeviceSocket::MAX_RECEIVE_SOCKETS);
  EXPECT_EQ(f.together, f.alone * static_cast<long>(f.sockets));
  EXPECT_EQ(f.leftOpen, 0);
}

TEST_F(SharedPort, CancelStillEndsThePassAtOnce) {
  const Figures f = AsNobody([](CDeviceSocket& device, Figures& out) {
    const auto start = Clock::now();
    device.SetPumpHook([&] {
      if (Ms(start) >= 300) device.CancelRequest();
    });
    auto records = std::make_unique<DeviceRecordArray>();
    out.result = device.Discover(*records, out.kept);
  });
  ASSERT_TRUE(f.ran);
  EXPECT_EQ(f.result, ERR_RECEIVE_TIMEOUT);
  EXPECT_GE(f.ms, 300);
  EXPECT_LT(f.ms, 1000);
  EXPECT_GT(f.sockets, 1u);
  EXPECT_EQ(f.leftOpen, 0);
}

// A device without an address answers by broadcast, which reaches every
// socket on the port; the exchange must still hear it once.
TEST_F(SharedPort, ABroadcastAnswerArrivesOnce) {
  SimProcess sim = UdpDevices(std::string(kA) + " 0 0.0.0.0 0.0.0.0 admin broadcast\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const Figures f = AsNobody([](CDeviceSocket& device, Figures& out) {
    const std::vector<uint8_t> request = BuildRequest(OP_DISCOVER, nullptr, 0);
    if (device.SendRequest(BROADCAST_ADDRESS, request.data(), request.size()) != 0) return;
    uint8_t buf[MAX_DATAGRAM];
    out.result = device.ReceiveReply(2000, buf, DEVICE_RECORD_SIZE);
    out.second = device.ReceiveReply(300, buf, DEVICE_RECORD_SIZE);
    device.Close();
  });
  ASSERT_TRUE(f.ran);
  EXPECT_EQ(f.result, 0);
  EXPECT_EQ(f.second, ERR_RECEIVE_TIMEOUT) << "the same answer came again";
  EXPECT_GT(f.sockets, 1u);
  EXPECT_EQ(f.leftOpen, 0);
}

}  // namespace
