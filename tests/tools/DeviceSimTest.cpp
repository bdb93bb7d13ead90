// The simulator as the other tests use it: started, asked, stopped.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/DeviceSocket.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"

using testsupport::SimProcess;
using Clock = std::chrono::steady_clock;

namespace {

uint32_t Ip(const char* t) { return inet_addr(t); }

long Ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(DeviceSim, RefusesToRunOutsideThePrivateNetwork) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  unsetenv("QUILL_NETNS");
  SimProcess sim({"--generate", "1"});
  setenv("QUILL_NETNS", "1", 1);
  EXPECT_FALSE(sim.Ready());
  ASSERT_TRUE(WIFEXITED(sim.ExitStatus()));
  EXPECT_NE(WEXITSTATUS(sim.ExitStatus()), 0);
}

TEST(DeviceSim, RejectsABadDeviceFileAndStopsCleanly) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess bad = SimProcess::WithDevices("00:50:C2:00:00:01 0 127.0.0.1\n");
  EXPECT_FALSE(bad.Ready());

  SimProcess good({"--generate", "3"});
  ASSERT_TRUE(good.Ready()) << good.Error();
  const int status = good.Stop();
  ASSERT_TRUE(WIFEXITED(status)) << "SIGTERM must end it by itself";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DeviceSim, SampleDevicesAreListedAndReachable) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  const std::string sample = ReadFile(std::string(QUILL_SOURCE_DIR) + "/tools/devicesim/sample-devices.txt");
  ASSERT_FALSE(sample.empty());
  SimProcess sim = SimProcess::WithDevices(sample, {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CDeviceSocket device;
  DeviceRecordArray records;
  int count = 0;
  ASSERT_EQ(device.Discover(records, count), 0);
  std::map<std::string, int> byIp;
  for (int i = 0; i < count; ++i) ++byIp[FormatIp(records[i]->ip())];
  EXPECT_EQ(count, 7) << "every device but the one of an unknown kind";
  EXPECT_EQ(byIp["0.0.0.0"], 1) << "a device without an address";
  bool duplicate = false;
  for (const auto& [ip, n] : byIp) duplicate = duplicate || n > 1;
  EXPECT_TRUE(duplicate) << "two devices share an address";

  // Addresses outside 127/8 were put on lo: a closed port there is refused
  // at once instead of hanging like an absent host.
  const auto start = Clock::now();
  EXPECT_FALSE(device.ProbeConnect(Ip("192.168.1.20"), 1));
  EXPECT_LT(Ms(start), 1000);
}

TEST(DeviceSim, MovedDeviceGetsItsNewAddressOnLoopback) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = SimProcess::WithDevices("00:50:C2:00:00:01 0 127.0.0.11 255.0.0.0 pw\n",
                                           {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CDeviceSocket device;
  SetNetworkRequest r;
  r.mac = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x01};
  r.ip = Ip("10.77.0.5");
  r.mask = Ip("255.255.0.0");
  r.password = "pw";
  ASSERT_EQ(device.SetNetworkParameters(r), 0);
  const auto start = Clock::now();
  EXPECT_FALSE(device.ProbeConnect(Ip("10.77.0.5"), 1));
  EXPECT_LT(Ms(start), 1000) << "the new address answers (with a refusal) at once";
}

TEST(DeviceSim, UnknownOperationIsRefusedByEveryDevice) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim({"--generate", "2", "--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CDeviceSocket device;
  const std::vector<uint8_t> request = BuildRequest(7, nullptr, 0);
  ASSERT_EQ(device.SendRequest(Ip("127.0.0.1"), request.data(), request.size()), 0);
  uint8_t buf[MAX_DATAGRAM];
  EXPECT_EQ(device.ReceiveReply(2000, buf, 0), 4995);
  EXPECT_EQ(device.ReceiveReply(2000, buf, 0), 4995);
  EXPECT_EQ(device.ReceiveReply(300, buf, 0), ERR_RECEIVE_TIMEOUT);
  device.Close();
}
