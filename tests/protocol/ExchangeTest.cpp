// Set-network exchanges, hand-made requests and connect probes.
#include "TransportFixture.h"

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
  net::Socket listener;
  ASSERT_EQ(listener.OpenUdp(), 0);
  ASSERT_EQ(listener.SetReuseAddress(true), 0);
  ASSERT_EQ(listener.Bind({htonl(INADDR_ANY), DEVICE_PORT}), 0);
  uint8_t wire[600];
  long got = -1;
  device_.SetPumpHook([&] {
    net::Datagram d;
    if (got < 0) {
      const int err = listener.ReceiveFrom(wire, sizeof wire, &d);
      got = err == 0 ? static_cast<long>(d.size) : -err;
    }
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
  net::Socket listener;
  ASSERT_EQ(listener.OpenTcp(), 0);
  ASSERT_EQ(listener.Bind({Ip("127.0.0.1"), 0}), 0);
  ASSERT_EQ(listener.Listen(4), 0);
  const uint16_t open = listener.LocalPort();
  EXPECT_TRUE(device_.ProbeConnect(Ip("127.0.0.1"), open));

  uint16_t closed = 0;
  {
    net::Socket s;
    ASSERT_EQ(s.OpenTcp(), 0);
    ASSERT_EQ(s.Bind({Ip("127.0.0.1"), 0}), 0);
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

TEST_F(Transport, ProbeOfADeviceWithoutAddressFails) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  // Something on this host listens on every address; a device whose address
  // is 0.0.0.0 must still not look reachable.
  net::Socket listener;
  ASSERT_EQ(listener.OpenTcp(), 0);
  ASSERT_EQ(listener.Bind({htonl(INADDR_ANY), 0}), 0);
  ASSERT_EQ(listener.Listen(4), 0);
  const uint16_t port = listener.LocalPort();
  ASSERT_TRUE(device_.ProbeConnect(Ip("127.0.0.1"), port));
  EXPECT_FALSE(device_.ProbeConnect(0, port));
  EXPECT_FALSE(device_.ProbeConnect(Ip("255.255.255.255"), port));
}

TEST_F(Transport, ExchangesEndByTheirDeadlineWhenReceivesFailAtOnce) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  // Pulling the descriptor away mid-wait makes every later receive fail at
  // once (EBADF), as a dead network would; the waits must still end on time.
  auto breakAfter = [this](long ms) {
    const auto start = Clock::now();
    device_.SetPumpHook([this, start, ms] {
      ++pumps_;
      if (Ms(start) >= ms) device_.Socket().Raw().Close();
    });
  };
  breakAfter(200);
  auto start = Clock::now();
  EXPECT_EQ(device_.SetNetworkParameters(Request(kA, "127.0.0.21", "255.0.0.0", "admin")), EBADF);
  long elapsed = Ms(start);
  EXPECT_GE(elapsed, 4000);
  EXPECT_LT(elapsed, 5000) << "failed receives must not reopen the 4-second window";

  pumps_ = 0;
  breakAfter(200);
  start = Clock::now();
  EXPECT_EQ(device_.Discover(records_, count_), EBADF);
  elapsed = Ms(start);
  EXPECT_GE(elapsed, 4400);
  EXPECT_LT(elapsed, 5400);
  // One pump per wait slice at most (with room to spare), never one per
  // failed call.
  EXPECT_LT(pumps_, 2 * 4400 / CTimeoutSocket::SLICE_MS) << "failing receives must not spin";
}
