// The transport on a PC with two links (scripts/netns-links.sh): link qla
// carries the default route, qlb only its own subnet, and a simulator plays
// the devices of each segment. A broadcast must reach both; answers come
// back to the one socket and each device is listed once.
#include <stdlib.h>

#include <map>
#include <thread>
#include <vector>

#include "TransportFixture.h"
#include "explorer/protocol/Scan.h"
#include "net/Interfaces.h"

namespace {

using namespace std::chrono_literals;

const char* kD = "00:50:C2:00:00:0D";
const char* kE = "00:50:C2:00:00:0E";

// Runs `command` (ip ...) in the PC namespace; true when it succeeded.
bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Waits until `name` has its carrier again (a link just brought up needs a
// moment before it takes frames).
bool WaitRunning(const std::string& name, bool running) {
  for (int i = 0; i < 100; ++i) {
    std::vector<net::Interface> list;
    net::ListIpv4Interfaces(&list);
    for (const net::Interface& l : list)
      if (l.name == name && l.CarriesBroadcast() == running) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

class Links : public Transport {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_LINK_TOPOLOGY();
    Transport::SetUp();
  }
  void TearDown() override {
    if (IsSkipped()) return;
    // Whatever a test took down comes back for the next one.
    const std::vector<std::string> segments = Segments();
    for (size_t k = 0; k < 2 && k < segments.size(); ++k) {
      const std::string name = k == 0 ? "qla" : "qlb";
      Shell("ip link set " + name + " up");
      Shell("ip -n " + segments[k] + " link set " + name + " up");
    }
    WaitRunning("qla", true);
    WaitRunning("qlb", true);
    Shell("ip route replace default via 10.10.0.2 dev qla");
    Transport::TearDown();
  }
  static std::vector<std::string> Segments() {
    std::vector<std::string> out;
    std::string all = std::getenv("QUILL_NETNS_SEGMENTS") ? std::getenv("QUILL_NETNS_SEGMENTS") : "";
    for (size_t at = 0; at < all.size();) {
      const size_t space = all.find(' ', at);
      out.push_back(all.substr(at, space - at));
      at = space == std::string::npos ? all.size() : space + 1;
    }
    return out;
  }

  // MAC -> link name of the last pass.
  std::map<std::string, std::string> FoundOn() const {
    std::map<std::string, std::string> out;
    const auto& links = device_.RecordLinks();
    EXPECT_EQ(links.size(), static_cast<size_t>(count_));
    for (int i = 0; i < count_ && static_cast<size_t>(i) < links.size(); ++i)
      out[FormatMac(records_[i]->mac())] = links[static_cast<size_t>(i)].name;
    return out;
  }
  std::vector<std::string> SentOn() const {
    std::vector<std::string> out;
    for (const auto& l : device_.SentLinks()) out.push_back(l.name);
    return out;
  }
};

std::string Line(const char* mac, const char* kind, const char* ip, const char* options = "") {
  return std::string(mac) + " " + kind + " " + ip + " 255.255.255.0 admin " + options + "\n";
}

TEST_F(Links, DevicesOnEveryLinkAreFoundOnceEachInAddressOrder) {
  // kD is heard on both links (the same device seen twice); kE has no
  // address and broadcasts its answer on the link without the default route.
  SimProcess a = SimProcess::OnLink(0, Line(kA, "0", "10.10.0.20") + Line(kB, "1", "10.10.0.3") +
                                           Line(kD, "0x10", "10.10.0.9"),
                                    {"--only", "udp"});
  SimProcess b = SimProcess::OnLink(1, Line(kC, "0x30", "10.20.0.7") + Line(kE, "0x31", "0.0.0.0", "broadcast") +
                                           Line(kD, "0x10", "10.10.0.9", "late=100"),
                                    {"--only", "udp"});
  ASSERT_TRUE(a.Ready()) << a.Error();
  ASSERT_TRUE(b.Ready()) << b.Error();

  EXPECT_EQ(device_.Discover(records_, count_), 0);
  EXPECT_EQ(SentOn(), (std::vector<std::string>{"qla", "qlb"})) << "once through every link";
  ASSERT_EQ(count_, 5) << "each device once, wherever it answered";
  const auto on = FoundOn();
  EXPECT_EQ(on, (std::map<std::string, std::string>{
                    {kA, "qla"}, {kB, "qla"}, {kC, "qlb"}, {kD, "qla"}, {kE, "qlb"}}))
      << "a device heard on two links keeps the link of its first answer";

  std::vector<const DeviceRecord*> view;
  for (int i = 0; i < count_; ++i) view.push_back(records_[i].get());
  std::vector<std::string> rows;
  for (size_t i : RowOrder(view)) rows.push_back(FormatIp(view[i]->ip()));
  EXPECT_EQ(rows, (std::vector<std::string>{"0.0.0.0", "10.10.0.3", "10.10.0.9", "10.10.0.20", "10.20.0.7"}));
}

TEST_F(Links, SetIpReachesADeviceOnTheSecondLinkWhichThenAnswersAtItsNewAddress) {
  SimProcess a = SimProcess::OnLink(0, Line(kA, "0", "10.10.0.20"), {"--only", "udp"});
  SimProcess b = SimProcess::OnLink(1, Line(kC, "0", "10.20.0.7"), {"--only", "udp,http"});
  ASSERT_TRUE(a.Ready()) << a.Error();
  ASSERT_TRUE(b.Ready()) << b.Error();
  ASSERT_TRUE(device_.ProbeConnect(Ip("10.20.0.7"), 80));

  // The device on link A answers 4998; that is no reason to stop waiting.
  EXPECT_EQ(device_.SetNetworkParameters(Request(kC, "10.20.0.77", "255.255.255.0", "admin")), 0);
  EXPECT_EQ(SentOn(), (std::vector<std::string>{"qla", "qlb"}));
  // Its web side moves a moment after the answer.
  bool reachable = false;
  for (int i = 0; i < 40 && !reachable; ++i) {
    reachable = device_.ProbeConnect(Ip("10.20.0.77"), 80);
    if (!reachable) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(reachable) << "the device answers at its new address";

  EXPECT_EQ(device_.Discover(records_, count_), 0);
  ASSERT_EQ(count_, 2);
  const int c = FormatMac(records_[0]->mac()) == kC ? 0 : 1;
  EXPECT_EQ(FormatIp(records_[c]->ip()), "10.20.0.77");
  EXPECT_EQ(device_.RecordLinks()[static_cast<size_t>(c)].name, "qlb");
}

TEST_F(Links, ALinkThatGoesDownBetweenScansIsLeftOutWithoutAnError) {
  SimProcess a = SimProcess::OnLink(0, Line(kA, "0", "10.10.0.20"), {"--only", "udp"});
  SimProcess b = SimProcess::OnLink(1, Line(kC, "0", "10.20.0.7"), {"--only", "udp"});
  ASSERT_TRUE(a.Ready()) << a.Error();
  ASSERT_TRUE(b.Ready()) << b.Error();
  EXPECT_EQ(device_.Discover(records_, count_), 0);
  EXPECT_EQ(count_, 2);

  const std::vector<std::string> segments = Segments();
  ASSERT_EQ(segments.size(), 2u);
  const struct {
    const char* what;
    std::string down;
  } cases[] = {
      {"taken down on this PC", "ip link set qlb down"},
      {"its cable pulled (the far end gone)", "ip -n " + segments[1] + " link set qlb down"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Shell(c.down));
    ASSERT_TRUE(WaitRunning("qlb", false));
    EXPECT_EQ(device_.Discover(records_, count_), 0);
    EXPECT_EQ(SentOn(), std::vector<std::string>{"qla"});
    ASSERT_EQ(count_, 1);
    EXPECT_EQ(FormatMac(records_[0]->mac()), kA);
    ASSERT_TRUE(Shell("ip link set qlb up") && Shell("ip -n " + segments[1] + " link set qlb up"));
    ASSERT_TRUE(WaitRunning("qlb", true));
  }
  EXPECT_EQ(device_.Discover(records_, count_), 0);
  EXPECT_EQ(count_, 2) << "a link that is back is used again";
}

TEST_F(Links, WithNoUsableLinkTheScanCannotInitializeNetworking) {
  ASSERT_TRUE(Shell("ip link set qla down") && Shell("ip link set qlb down"));
  ASSERT_TRUE(WaitRunning("qla", false) && WaitRunning("qlb", false));
  // Nothing to send through but the loopback, which has no route for a
  // broadcast now that the default route went with link A.
  const auto start = Clock::now();
  EXPECT_EQ(device_.Discover(records_, count_), -1);
  EXPECT_LT(Ms(start), 1000);
  ScanHooks hooks;
  hooks.stillBusy = [] { return true; };
  hooks.discover = [this](DeviceRecordArray& r, int& n) { return device_.Discover(r, n); };
  hooks.failedLocally = [this] { return device_.SendFailed(); };
  const ScanOutcome outcome = RunScanPasses(hooks, records_, count_);
  EXPECT_TRUE(outcome.networkingFailed);
  EXPECT_EQ(outcome.passes, 1);
  EXPECT_EQ(ScanFailureText(outcome, "Osprey Panel"), "Cannot initialize networking");
}

TEST_F(Links, TheLinkFilterSendsOnlyThroughTheNamedInterfaces) {
  SimProcess a = SimProcess::OnLink(0, Line(kA, "0", "10.10.0.20"), {"--only", "udp"});
  SimProcess b = SimProcess::OnLink(1, Line(kC, "0", "10.20.0.7"), {"--only", "udp"});
  ASSERT_TRUE(a.Ready()) << a.Error();
  ASSERT_TRUE(b.Ready()) << b.Error();
  device_.SetLinkFilter({"qlb", "no-such-link"});
  EXPECT_EQ(device_.Discover(records_, count_), 0);
  EXPECT_EQ(SentOn(), std::vector<std::string>{"qlb"});
  ASSERT_EQ(count_, 1);
  EXPECT_EQ(FormatMac(records_[0]->mac()), kC);
  EXPECT_EQ(device_.RecordLinks()[0].name, "qlb");

  device_.SetLinkFilter({"no-such-link"});
  EXPECT_EQ(device_.Discover(records_, count_), -1) << "nothing could be sent";
  device_.SetLinkFilter({});
  EXPECT_EQ(device_.Discover(records_, count_), 0);
  EXPECT_EQ(count_, 2);
}

}  // namespace
