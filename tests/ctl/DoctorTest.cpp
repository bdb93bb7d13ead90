// explorerctl doctor in the routed bed (scripts/netns-links.sh --routed):
// the PC's links qla and qlb, its router link qlc, remote segments behind
// it. Each test breaks one thing inside the bed, asks the doctor, and puts
// the bed back: a link without carrier or address, a firewall in the PC
// namespace that drops the answers, a device outside its link's subnet.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/Interfaces.h"
#include "tests/ctl/CtlProcess.h"
#include "tests/support/NetGuard.h"
#include "tests/support/SimProcess.h"

namespace {

using ctltest::RunCtl;
using json = nlohmann::json;
using testsupport::SimProcess;

bool Shell(const std::string& command) {
  return std::system(("timeout 10 " + command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs `undo` when the test ends, however it ends, so the next finds the
// bed as it was.
class Undo {
 public:
  explicit Undo(std::string undo) : undo_(std::move(undo)) {}
  ~Undo() { Shell(undo_); }
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;

 private:
  std::string undo_;
};

std::string Word(const char* variable, size_t n) {
  std::istringstream words(std::getenv(variable) ? std::getenv(variable) : "");
  std::string w;
  for (size_t i = 0; i <= n && (words >> w); ++i) {
    if (i == n) return w;
  }
  return "";
}

// Waits (bounded) until `name` has its carrier again.
bool WaitCarrier(const std::string& name) {
  for (int i = 0; i < 100; ++i) {
    std::vector<net::Interface> list;
    net::ListInterfaces(&list);
    for (const net::Interface& l : list)
      if (l.name == name && l.running) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

const json& AdapterNamed(const json& report, const std::string& name) {
  static const json none;
  for (const json& a : report["adapters"])
    if (a["name"] == name) return a;
  return none;
}

std::vector<std::string> CauseIds(const json& adapter) {
  std::vector<std::string> ids;
  for (const json& c : adapter["causes"]) ids.push_back(c["cause"]);
  return ids;
}

json Parsed(const ctltest::CtlResult& r) {
  json j = json::parse(r.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << r.out << r.err;
  return j;
}

class DoctorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_LINK_TOPOLOGY();
    if (!std::getenv("QUILL_NETNS_REMOTE_SEGMENTS"))
      GTEST_SKIP() << "needs the routed bed (scripts/netns-links.sh --routed)";
  }
  static SimProcess Local(const std::string& devices) {
    return SimProcess::OnLink(0, devices, {"--only", "udp"});
  }
};

TEST_F(DoctorTest, NamesALinkWithoutCarrierAndOneWithoutAnAddress) {
  SimProcess local = Local("00:50:C2:75:00:01 0 10.10.0.31 255.255.255.0 admin\n");
  ASSERT_TRUE(local.Ready()) << local.Error();
  const std::string segmentB = Word("QUILL_NETNS_SEGMENTS", 1);
  ASSERT_FALSE(segmentB.empty());
  {
    // The far end of qlb's cable goes down: the PC's side stays up, without carrier.
    ASSERT_TRUE(Shell("ip -n " + segmentB + " link set qlb down"));
    Undo up("ip -n " + segmentB + " link set qlb up");
    const auto r = RunCtl({"doctor", "--format", "json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const json j = Parsed(r);
    EXPECT_EQ(j["devices"], 1);
    const json& b = AdapterNamed(j, "qlb");
    EXPECT_EQ(b["up"], true);
    EXPECT_EQ(b["carrier"], false);
    EXPECT_EQ(b["ipv4"], "10.20.0.1");
    EXPECT_EQ(b["broadcast_sent"], false);
    EXPECT_EQ(b["not_sent_because"], "no carrier");
    EXPECT_TRUE(b["causes"].empty());
    const json& a = AdapterNamed(j, "qla");
    EXPECT_EQ(a["broadcast_sent"], true);
    EXPECT_EQ(a["answers"], 1);
    EXPECT_TRUE(a["causes"].empty()) << "it heard its device";
    EXPECT_EQ(AdapterNamed(j, "lo"), json()) << "loopback is no adapter";
  }
  ASSERT_TRUE(WaitCarrier("qlb"));
  // An adapter without an IPv4 address is named too.
  ASSERT_TRUE(Shell("ip addr flush dev qlb"));
  Undo address("ip addr add 10.20.0.1/24 dev qlb");
  const auto r = RunCtl({"doctor", "--format", "json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const json j = Parsed(r);
  const json& b = AdapterNamed(j, "qlb");
  EXPECT_EQ(b["carrier"], true);
  EXPECT_EQ(b["ipv4"], nullptr);
  EXPECT_EQ(b["not_sent_because"], "no IPv4 address");
}

TEST_F(DoctorTest, NamesAFirewallThatDropsTheAnswersAndItsRemedyLetsThemIn) {
  SimProcess local = Local("00:50:C2:75:00:11 0 10.10.0.31 255.255.255.0 admin\n");
  ASSERT_TRUE(local.Ready()) << local.Error();
  // Inside the PC namespace only; it goes with the bed.
  ASSERT_TRUE(Shell("nft add table inet t"));
  Undo table("nft delete table inet t");
  ASSERT_TRUE(Shell("nft add chain inet t in '{ type filter hook input priority 0; }'"));
  ASSERT_TRUE(Shell("nft add rule inet t in udp sport 8375 drop"));
  ASSERT_TRUE(Shell("sysctl -qw net.ipv4.conf.qla.rp_filter=1"));
  Undo rp("sysctl -qw net.ipv4.conf.qla.rp_filter=0");

  auto r = RunCtl({"doctor", "--format", "json"});
  EXPECT_EQ(r.exitCode, 5) << r.err;
  json j = Parsed(r);
  EXPECT_EQ(j["devices"], 0);
  EXPECT_EQ(j["firewall"]["name"], "nftables");
  ASSERT_EQ(j["firewall"]["chains"].size(), 1u);
  EXPECT_EQ(j["firewall"]["chains"][0]["table"], "t");
  EXPECT_EQ(j["firewall"]["chains"][0]["rules"], 1);
  const json& a = AdapterNamed(j, "qla");
  EXPECT_EQ(a["rp_filter"], 1);
  EXPECT_EQ(CauseIds(a), (std::vector<std::string>{"firewall", "rp_filter", "router"}));
  EXPECT_EQ(CauseIds(AdapterNamed(j, "qlc")), (std::vector<std::string>{"firewall", "router"}));
  ASSERT_FALSE(a["causes"].empty());
  const std::string remedy = a["causes"][0]["remedy"];
  EXPECT_EQ(remedy, "sudo nft insert rule inet t in udp sport 8375 accept");

  // As an ordinary user the ruleset cannot be read: the firewall is not
  // known, and still offered first.
  r = ctltest::CtlProcess({"--reuid=65534", "--regid=65534", "--clear-groups", ctltest::CtlPath(), "doctor",
                           "--format", "json"},
                          {}, "/usr/bin/setpriv")
          .Wait();
  EXPECT_EQ(r.exitCode, 5) << r.err;
  j = Parsed(r);
  EXPECT_EQ(j["firewall"]["name"], "unknown");
  EXPECT_NE(j["firewall"]["why_unknown"].get<std::string>().find("root"), std::string::npos);
  EXPECT_EQ(CauseIds(AdapterNamed(j, "qla")).front(), "firewall");

  // The remedy as printed lets the answers in.
  ASSERT_EQ(remedy.rfind("sudo ", 0), 0u);
  ASSERT_TRUE(Shell(remedy.substr(5)));
  r = RunCtl({"doctor"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("  qla: up, carrier, 10.10.0.1/24; broadcast sent, 1 device answered\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Nothing answered through qla"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Firewall: nftables (chain inet t in: 2 rules)"), std::string::npos) << r.out;
}

TEST_F(DoctorTest, NamesADeviceOutsideItsLinksSubnetButNotOneFoundThroughATarget) {
  SimProcess local = Local(
      "00:50:C2:75:00:21 0 10.10.0.31 255.255.255.0 admin\n"
      "00:50:C2:75:00:22 0 192.168.7.20 255.255.255.0 admin\n"
      "00:50:C2:75:00:23 0 10.10.0.40 255.255.255.0 admin\n"
      "00:50:C2:75:00:24 0 10.10.0.40 255.255.255.0 admin\n");
  SimProcess remote =
      SimProcess::OnRemote(0, "00:50:C2:75:00:25 0 10.30.0.5 255.255.255.0 admin\n", {"--only", "udp"});
  ASSERT_TRUE(local.Ready()) << local.Error();
  ASSERT_TRUE(remote.Ready()) << remote.Error();

  const auto r = RunCtl({"doctor", "--format", "json", "--target", "10.30.0.5", "--target", "10.40.0.0/24"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const json j = Parsed(r);
  EXPECT_EQ(j["devices"], 5);
  ASSERT_EQ(j["outside_subnet"].size(), 1u) << j["outside_subnet"].dump();
  const json& stray = j["outside_subnet"][0];
  EXPECT_EQ(stray["mac"], "00:50:C2:75:00:22");
  EXPECT_EQ(stray["ip"], "192.168.7.20");
  EXPECT_EQ(stray["adapter"], "qla");
  EXPECT_EQ(stray["subnet"], "10.10.0.0/24");
  EXPECT_NE(stray["remedy"].get<std::string>().find("explorerctl set-ip 00:50:C2:75:00:22 "), std::string::npos);
  ASSERT_EQ(j["duplicates"].size(), 1u);
  EXPECT_EQ(j["duplicates"][0]["ip"], "10.10.0.40");
  EXPECT_EQ(j["duplicates"][0]["macs"], (json{"00:50:C2:75:00:23", "00:50:C2:75:00:24"}));
  ASSERT_EQ(j["targets"].size(), 2u);
  EXPECT_EQ(j["targets"][0]["kind"], "host");
  EXPECT_EQ(j["targets"][0]["answers"], 1);
  EXPECT_TRUE(j["targets"][0]["causes"].empty());
  // Nobody lives behind the second: its router's refusal is offered.
  EXPECT_EQ(j["targets"][1]["answers"], 0);
  ASSERT_EQ(j["targets"][1]["causes"].size(), 1u) << "the ruleset was read: no firewall filters";
  EXPECT_EQ(j["targets"][1]["causes"][0]["cause"], "directed_broadcast");
  EXPECT_EQ(AdapterNamed(j, "qla")["answers"], 4);
  EXPECT_EQ(AdapterNamed(j, "qlc")["answers"], 1) << "the routed answer came in through the router link";
}

}  // namespace
