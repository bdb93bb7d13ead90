// Discovery passes against the device simulator.
#include "TransportFixture.h"

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
