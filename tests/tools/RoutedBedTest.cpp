// The routed bed (scripts/netns-links.sh --routed): behind the PC's router
// link two remote segments with devices of their own. Asked from the PC,
// by unicast or by the remote subnet's broadcast address, each device
// answers by unicast from its own address; a broadcast to everybody stays
// on the PC's links, as it does at a real router.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "net/Interfaces.h"
#include "net/Socket.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"

using testsupport::SimProcess;

namespace {

using Clock = std::chrono::steady_clock;

uint32_t Ip(const char* text) {
  uint32_t ip = 0;
  EXPECT_TRUE(net::ParseIpv4(text, &ip)) << text;
  return ip;
}

// One discovery answer as the PC got it.
struct Answer {
  std::string from;     // source address and port of the datagram
  std::string device;   // the address the device reports
  std::string sentTo;   // the datagram's destination: unicast to the PC or a broadcast
  std::string link;     // the PC's interface it came in on
  bool operator<(const Answer& o) const {
    return std::tie(from, device, sentTo, link) < std::tie(o.from, o.device, o.sentTo, o.link);
  }
  bool operator==(const Answer& o) const = default;
};

std::ostream& operator<<(std::ostream& out, const Answer& a) {
  return out << "{" << a.from << " reports " << a.device << ", to " << a.sentTo << " on " << a.link << "}";
}

class RoutedBed : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    if (!std::getenv("QUILL_NETNS_REMOTE_SEGMENTS"))
      GTEST_SKIP() << "needs the routed bed (scripts/netns-links.sh --routed)";
  }

  // Sends one discovery request to `to` (through `link` when given) from a
  // socket of its own with SO_BROADCAST set, and collects what comes back
  // within a second.
  static std::set<Answer> Ask(const char* to, const char* link = nullptr) {
    std::set<Answer> answers;
    net::Socket socket;
    EXPECT_EQ(socket.OpenUdp(), 0);
    EXPECT_EQ(socket.SetBroadcast(true), 0);
    EXPECT_EQ(socket.EnablePacketInfo(), 0);
    EXPECT_EQ(socket.Bind({0, 0}), 0);
    net::LocalSide via;
    if (link) {
      via.interfaceIndex = net::InterfaceIndex(link);
      EXPECT_NE(via.interfaceIndex, 0u) << link;
    }
    const std::vector<uint8_t> request = BuildRequest(OP_DISCOVER, nullptr, 0);
    EXPECT_EQ(socket.SendTo(request.data(), request.size(), {Ip(to), DEVICE_PORT}, via), 0) << to;
    const auto end = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < end) {
      bool readable = false;
      if (socket.WaitReadable(50, &readable) != 0 || !readable) continue;
      uint8_t buf[MAX_DATAGRAM];
      net::Datagram got;
      if (socket.ReceiveFrom(buf, sizeof buf, &got) != 0) continue;
      EXPECT_EQ(ValidateReply(false, 0, buf, static_cast<long>(got.size), DEVICE_RECORD_SIZE), 0);
      if (got.size != DEVICE_HEADER_SIZE + DEVICE_RECORD_SIZE) continue;
      DeviceRecord record;
      std::copy(buf + DEVICE_HEADER_SIZE, buf + got.size, record.bytes.begin());
      answers.insert({net::FormatIpv4(got.from.ip) + ":" + std::to_string(got.from.port),
                      FormatIp(record.ip()), net::FormatIpv4(got.to.ip),
                      net::InterfaceName(got.to.interfaceIndex)});
    }
    return answers;
  }

  static std::string Devices(const std::vector<const char*>& addresses) {
    std::string text;
    int n = 0;
    for (const char* a : addresses) {
      char mac[32];
      std::snprintf(mac, sizeof mac, "00:50:C2:00:7%d:%02X", n / 256, n % 256);
      text += std::string(mac) + " 0 " + a + " 255.255.255.0 admin\n";
      ++n;
    }
    return text;
  }

  static Answer Routed(const char* device) {
    return {std::string(device) + ":" + std::to_string(DEVICE_PORT), device, "10.99.0.1", "qlc"};
  }
};

TEST_F(RoutedBed, RemoteDevicesAnswerUnicastAndDirectedBroadcastFromTheirOwnAddresses) {
  SimProcess near = SimProcess::OnRemote(0, Devices({"10.30.0.5", "10.30.0.6", "10.30.0.200"}), {"--only", "udp"});
  SimProcess far = SimProcess::OnRemote(1, Devices({"10.40.0.9"}), {"--only", "udp"});
  ASSERT_TRUE(near.Ready()) << near.Error();
  ASSERT_TRUE(far.Ready()) << far.Error();

  EXPECT_EQ(Ask("10.30.0.6"), (std::set<Answer>{Routed("10.30.0.6")}))
      << "only the device asked answers, from its own address, by unicast to the PC";
  EXPECT_EQ(Ask("10.30.0.255"),
            (std::set<Answer>{Routed("10.30.0.5"), Routed("10.30.0.6"), Routed("10.30.0.200")}))
      << "the directed broadcast crosses the router to every device of that subnet, and no other";
  EXPECT_EQ(Ask("10.40.0.255"), (std::set<Answer>{Routed("10.40.0.9")}));
  EXPECT_EQ(Ask("10.30.0.77"), (std::set<Answer>{})) << "an address no device has stays unanswered";
}

TEST_F(RoutedBed, ABroadcastToEverybodyStaysOnThePcsLinks) {
  SimProcess local = SimProcess::OnLink(0, Devices({"10.10.0.20"}), {"--only", "udp"});
  SimProcess remote = SimProcess::OnRemote(0, Devices({"10.30.0.5"}), {"--only", "udp"});
  ASSERT_TRUE(local.Ready()) << local.Error();
  ASSERT_TRUE(remote.Ready()) << remote.Error();

  const Answer onLinkA{"10.10.0.20:" + std::to_string(DEVICE_PORT), "10.10.0.20", "10.10.0.1", "qla"};
  EXPECT_EQ(Ask("255.255.255.255"), (std::set<Answer>{onLinkA})) << "the default route's link";
  EXPECT_EQ(Ask("255.255.255.255", "qla"), (std::set<Answer>{onLinkA}));
  EXPECT_EQ(Ask("255.255.255.255", "qlc"), (std::set<Answer>{}))
      << "sent out of the router link itself, it reaches the router and goes no further";
  // The remote device is there all the while.
  EXPECT_EQ(Ask("10.30.0.5"), (std::set<Answer>{Routed("10.30.0.5")}));
}

}  // namespace
