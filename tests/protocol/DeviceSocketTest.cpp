// The transport against real peers: the device simulator, loopback
// listeners, and the namespace's silent sink (10.200.0.0/24).
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <string>

#include "support/NetGuard.h"
#include "support/SimProcess.h"
#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/DeviceSocket.h"
#include "explorer/protocol/Socket.h"

using testsupport::SimProcess;
using Clock = std::chrono::steady_clock;

namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

long Ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

std::array<uint8_t, 6> Mac(const char* text) {
  unsigned v[6];
  sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
  return {uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3]), uint8_t(v[4]), uint8_t(v[5])};
}

SetNetworkRequest Request(const char* mac, const char* ip, const char* mask, const char* password) {
  SetNetworkRequest r;
  r.mac = Mac(mac);
  r.ip = Ip(ip);
  r.mask = Ip(mask);
  r.password = password;
  return r;
}

// Every exchange must leave no descriptor behind, whatever its outcome.
class Transport : public ::testing::Test {
 protected:
  void SetUp() override { before_ = OpenDescriptors(); }
  void TearDown() override { EXPECT_EQ(OpenDescriptors(), before_) << "a socket was left open"; }

  // Cancels from inside the pump hook once `afterMs` have passed, as a
  // Cancel click handled during the wait would.
  void CancelAfter(long afterMs) {
    const auto start = Clock::now();
    device_.SetPumpHook([this, start, afterMs] {
      ++pumps_;
      if (Ms(start) >= afterMs) device_.CancelRequest();
    });
  }

  CDeviceSocket device_;
  DeviceRecordArray records_;
  int count_ = -1;
  int pumps_ = 0;

 private:
  int before_ = 0;
};

// Only the UDP side of the simulator is needed here.
SimProcess UdpDevices(const std::string& deviceFileText) {
  return SimProcess::WithDevices(deviceFileText, {"--only", "udp"});
}

const char* kA = "00:50:C2:00:00:0A";
const char* kB = "00:50:C2:00:00:0B";
const char* kC = "00:50:C2:00:00:0C";

}  // namespace

TEST_F(Transport, DiscoveryWithNoDeviceLastsThePassAndTimesOut) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  auto last = Clock::now();
  long longestGap = 0;
  device_.SetPumpHook([&] {
    ++pumps_;
    longestGap = std::max(longestGap, Ms(last));
    last = Clock::now();
  });
  const auto start = Clock::now();
  EXPECT_EQ(device_.Discover(records_, count_), ERR_RECEIVE_TIMEOUT);
  const long elapsed = Ms(start);
  EXPECT_EQ(count_, 0);
  EXPECT_GE(elapsed, 4400);
  EXPECT_LT(elapsed, 6000);
  // The window must keep being served all along the wait.
  EXPECT_GT(pumps_, 100);
  EXPECT_LT(longestGap, 200);
}

TEST_F(Transport, DiscoveryKeepsEachAcceptedDeviceOnce) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = UdpDevices(
      std::string(kA) + " 0 127.0.0.11 255.0.0.0 admin twice\n" +
      "00:50:C2:00:00:05 5 127.0.0.12 255.0.0.0 admin\n" +  // kind 5: never listed
      kB + " 0x31 127.0.0.13 255.255.0.0 admin late=300 twice\n" +
      kC + " 0x10 0.0.0.0 0.0.0.0 admin\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(device_.Discover(records_, count_), 0);
  ASSERT_EQ(count_, 3);
  std::set<std::string> macs;
  for (int i = 0; i < count_; ++i) macs.insert(FormatMac(records_[i]->mac()));
  EXPECT_EQ(macs, (std::set<std::string>{kA, kB, kC}));
  // The late device answered last.
  EXPECT_EQ(FormatMac(records_[2]->mac()), kB);
  EXPECT_EQ(records_[2]->kind(), 0x31);
  EXPECT_EQ(FormatIp(records_[2]->ip()), "127.0.0.13");
  EXPECT_EQ(FormatIp(records_[2]->mask()), "255.255.0.0");
}

TEST_F(Transport, DiscoveryPassResultIsTheFirstErrorWhenNothingIsKept) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  const struct {
    const char* options;
    int32_t expected;
  } cases[] = {
      {"", ERR_RECEIVE_TIMEOUT},  // kind 5 is accepted by validation but never kept
      {"short", ERR_INVALID_BUFFER_SIZE},
      {"size=31", ERR_INVALID_BUFFER_SIZE},
      {"long", EMSGSIZE},  // more than 528 bytes cannot be received whole
      {"status=5000", ERR_INVALID_PASSWORD},
  };
  for (const auto& c : cases) {
    const uint16_t kind = c.options[0] == '\0' ? 5 : 0;
    SimProcess sim = UdpDevices(std::string(kA) + " " + std::to_string(kind) +
                                             " 127.0.0.11 255.0.0.0 admin " + c.options + "\n");
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    const auto start = Clock::now();
    EXPECT_EQ(device_.Discover(records_, count_), c.expected) << c.options;
    EXPECT_EQ(count_, 0) << c.options;
    EXPECT_GE(Ms(start), 4400) << c.options;
  }
}

TEST_F(Transport, DiscoveryAfterAMalformedAnswerStillSucceeds) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = UdpDevices(std::string(kA) + " 0 127.0.0.11 255.0.0.0 admin size=33\n" +
                                           kB + " 1 127.0.0.12 255.0.0.0 admin late=200\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(device_.Discover(records_, count_), 0);
  ASSERT_EQ(count_, 1);
  EXPECT_EQ(FormatMac(records_[0]->mac()), kB);
}

TEST_F(Transport, CancelEndsADiscoveryPassAtOnce) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  {
    CancelAfter(300);
    const auto start = Clock::now();
    EXPECT_EQ(device_.Discover(records_, count_), ERR_RECEIVE_TIMEOUT);
    EXPECT_LT(Ms(start), 1000);
    EXPECT_EQ(count_, 0);
  }
  SimProcess sim = UdpDevices(std::string(kA) + " 0 127.0.0.11 255.0.0.0 admin\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CancelAfter(300);
  const auto start = Clock::now();
  EXPECT_EQ(device_.Discover(records_, count_), 0) << "what was found before Cancel is kept";
  EXPECT_LT(Ms(start), 1000);
  EXPECT_EQ(count_, 1);
  // The next exchange is not cancelled by the earlier click.
  device_.SetPumpHook({});
  const auto again = Clock::now();
  EXPECT_EQ(device_.Discover(records_, count_), 0);
  EXPECT_GE(Ms(again), 4400);
}

TEST_F(Transport, DiscoveryStopsWhenTheArrayIsFull) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim({"--generate", "5000", "--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const auto start = Clock::now();
  EXPECT_EQ(device_.Discover(records_, count_), 0);
  EXPECT_EQ(count_, MAX_DEVICES);
  EXPECT_LT(Ms(start), 4400) << "a full array ends the pass early";
  std::set<std::string> macs;
  for (int i = 0; i < count_; ++i) macs.insert(FormatMac(records_[i]->mac()));
  EXPECT_EQ(macs.size(), static_cast<size_t>(MAX_DEVICES));
}

TEST_F(Transport, SetNetworkMovesTheAddressedDevice) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = UdpDevices(std::string(kA) + " 0 127.0.0.11 255.0.0.0 admin\n" +
                                           kB + " 0 127.0.0.12 255.0.0.0 admin\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const auto start = Clock::now();
  EXPECT_EQ(device_.SetNetworkParameters(Request(kB, "10.9.8.7", "255.255.0.0", "admin")), 0);
  EXPECT_LT(Ms(start), 2000) << "the accepting answer ends the wait";
  ASSERT_EQ(device_.Discover(records_, count_), 0);
  ASSERT_EQ(count_, 2);
  for (int i = 0; i < count_; ++i) {
    const bool moved = FormatMac(records_[i]->mac()) == kB;
    EXPECT_EQ(FormatIp(records_[i]->ip()), moved ? "10.9.8.7" : "127.0.0.11");
    EXPECT_EQ(FormatIp(records_[i]->mask()), moved ? "255.255.0.0" : "255.0.0.0");
  }
}

TEST_F(Transport, SetNetworkRefusalIsRememberedUntilTheAnswersStop) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = UdpDevices(std::string(kA) + " 0 127.0.0.11 255.0.0.0 admin\n" +
                                           kB + " 0 127.0.0.12 255.0.0.0 admin\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const struct {
    SetNetworkRequest request;
    int32_t expected;
  } cases[] = {
      {Request(kA, "127.0.0.21", "255.0.0.0", "wrong"), ERR_INVALID_PASSWORD},
      {Request(kA, "0.0.0.0", "255.0.0.0", "admin"), ERR_CANNOT_SET_IP},
      {Request(kA, "127.0.0.21", "255.0.255.0", "admin"), ERR_CANNOT_SET_MASK},
  };
  for (const auto& c : cases) {
    const auto start = Clock::now();
    EXPECT_EQ(device_.SetNetworkParameters(c.request), c.expected);
    const long elapsed = Ms(start);
    EXPECT_GE(elapsed, 4000);
    EXPECT_LT(elapsed, 5500);
  }
}

TEST_F(Transport, SetNetworkWithOnlyOthersAnsweringTimesOutAfterTheLastAnswer) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = UdpDevices(std::string(kA) + " 0 127.0.0.11 255.0.0.0 admin\n" +
                                           kB + " 0 127.0.0.12 255.0.0.0 admin late=1500\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const auto start = Clock::now();
  EXPECT_EQ(device_.SetNetworkParameters(Request(kC, "127.0.0.21", "255.0.0.0", "admin")),
            ERR_RECEIVE_TIMEOUT);
  const long elapsed = Ms(start);
  EXPECT_GE(elapsed, 5500) << "each answer opens a new 4-second window";
  EXPECT_LT(elapsed, 7000);
}

TEST_F(Transport, CancelEndsASetNetworkWaitAtOnce) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = UdpDevices(std::string(kA) + " 0 127.0.0.11 255.0.0.0 admin\n" +
                                           kB + " 0 127.0.0.12 255.0.0.0 admin\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CancelAfter(500);
  auto start = Clock::now();
  EXPECT_EQ(device_.SetNetworkParameters(Request(kC, "127.0.0.21", "255.0.0.0", "admin")),
            ERR_RECEIVE_TIMEOUT);
  EXPECT_LT(Ms(start), 800);
  CancelAfter(500);
  start = Clock::now();
  EXPECT_EQ(device_.SetNetworkParameters(Request(kA, "127.0.0.21", "255.0.0.0", "nope")),
            ERR_INVALID_PASSWORD)
      << "a refusal that came before Cancel is the result";
  EXPECT_LT(Ms(start), 800);
}

TEST_F(Transport, LongPasswordTravelsAs31CharactersAndAZero) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  // Stand in for a device: take the broadcast ourselves.
  Socket listener;
  ASSERT_EQ(listener.OpenUdp(), 0);
  ASSERT_EQ(listener.SetReuseAddress(true), 0);
  ASSERT_EQ(listener.Bind(htonl(INADDR_ANY), DEVICE_PORT), 0);
  uint8_t wire[600];
  long got = -1;
  device_.SetPumpHook([&] {
    if (got < 0) got = listener.ReceiveFrom(wire, sizeof wire);
    if (got >= 0 || got != -EAGAIN) device_.CancelRequest();
  });
  const std::string password = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  ASSERT_EQ(password.size(), 40u);
  device_.SetNetworkParameters(Request(kA, "127.0.0.21", "255.0.0.0", password.c_str()));
  ASSERT_EQ(got, 64);
  const DeviceMessageHeader h = DeviceMessageHeader::Decode(wire);
  EXPECT_EQ(h.version, PROTOCOL_VERSION);
  EXPECT_EQ(h.status, 0u);
  EXPECT_EQ(h.operation, OP_SET_NETWORK);
  EXPECT_EQ(h.length, 48u);
  EXPECT_EQ(FormatMac(wire + 16), kA);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(wire + 32), 31), password.substr(0, 31));
  EXPECT_EQ(wire[63], 0);
}

TEST_F(Transport, UnicastRequestAndReplyByHand) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = UdpDevices(std::string(kA) + " 0x13 127.0.0.11 255.0.0.0 admin\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::vector<uint8_t> request = BuildRequest(OP_DISCOVER, nullptr, 0);
  ASSERT_EQ(device_.SendRequest(Ip("127.0.0.1"), request.data(), request.size()), 0);
  uint8_t buf[MAX_DATAGRAM];
  EXPECT_EQ(device_.ReceiveReply(2000, buf, DEVICE_RECORD_SIZE), 0);
  EXPECT_EQ(FormatMac(buf + 16), kA);
  // Nothing else comes: the next wait ends by its own deadline.
  const auto start = Clock::now();
  EXPECT_EQ(device_.ReceiveReply(300, buf, DEVICE_RECORD_SIZE), ERR_RECEIVE_TIMEOUT);
  EXPECT_GE(Ms(start), 300);
  EXPECT_LT(Ms(start), 1000);
  device_.Close();
}

TEST_F(Transport, ProbeOutcomes) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Socket listener;
  ASSERT_EQ(listener.OpenTcp(), 0);
  ASSERT_EQ(listener.Bind(Ip("127.0.0.1"), 0), 0);
  ASSERT_EQ(listener.Listen(4), 0);
  const uint16_t open = listener.LocalPort();
  EXPECT_TRUE(device_.ProbeConnect(Ip("127.0.0.1"), open));

  uint16_t closed = 0;
  {
    Socket s;
    ASSERT_EQ(s.OpenTcp(), 0);
    ASSERT_EQ(s.Bind(Ip("127.0.0.1"), 0), 0);
    closed = s.LocalPort();
  }
  auto start = Clock::now();
  EXPECT_FALSE(device_.ProbeConnect(Ip("127.0.0.1"), closed));
  EXPECT_LT(Ms(start), 500) << "a refused connect fails at once";

  start = Clock::now();
  EXPECT_FALSE(device_.ProbeConnect(Ip("10.200.0.2"), 80));
  const long elapsed = Ms(start);
  EXPECT_GE(elapsed, 2000);
  EXPECT_LT(elapsed, 3000);

  CancelAfter(300);
  start = Clock::now();
  EXPECT_FALSE(device_.ProbeConnect(Ip("10.200.0.2"), 80));
  EXPECT_LT(Ms(start), 800);
}
