// The doctor's report from facts alone: why an adapter got no broadcast,
// what answered where, which devices sit outside their adapter's subnet,
// the causes offered for silence and their order, the JSON keys the
// README promises, and the probes' reading of files of their own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "explorer/session/Doctor.h"
#include "support/FileBytes.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

uint32_t Ip(const char* text) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a.s_addr;
}

AdapterFacts Adapter(unsigned index, const char* name, const char* ip, const char* mask = "255.255.255.0") {
  AdapterFacts a;
  a.index = index;
  a.name = name;
  a.up = a.carrier = a.broadcast = true;
  a.address = ip ? Ip(ip) : 0;
  a.mask = ip ? Ip(mask) : 0;
  a.rpFilter = 0;
  return a;
}

AnswerFacts Answer(uint8_t macLast, const char* ip, unsigned link, const char* linkName, int target = -1) {
  AnswerFacts a;
  const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x74, 0x00, macLast};
  a.record.setMac(mac);
  a.record.setIp(Ip(ip));
  a.record.setMask(Ip("255.255.255.0"));
  a.origin.link = {link, linkName};
  a.origin.from = Ip(ip);
  a.origin.target = target;
  return a;
}

FirewallFacts Nft(std::vector<FirewallFacts::Chain> chains) {
  FirewallFacts f;
  f.kind = FirewallKind::Nftables;
  f.chains = std::move(chains);
  return f;
}

FirewallFacts NoFirewall() {
  FirewallFacts f;
  f.kind = FirewallKind::None;
  return f;
}

std::vector<CauseKind> Kinds(const std::vector<DoctorCause>& causes) {
  std::vector<CauseKind> kinds;
  for (const DoctorCause& c : causes) kinds.push_back(c.kind);
  return kinds;
}

TEST(DoctorReport, EachAdapterSaysWhetherTheBroadcastLeftAndWhyNot) {
  DoctorFacts f;
  f.firewall = NoFirewall();
  AdapterFacts lo = Adapter(1, "lo", "127.0.0.1", "255.0.0.0");
  lo.loopback = true;
  AdapterFacts down = Adapter(3, "eth1", "10.20.0.1");
  down.up = false;
  down.carrier = false;  // a down adapter also has no carrier: down is named
  AdapterFacts cable = Adapter(4, "eth2", "10.30.0.1");
  cable.carrier = false;
  AdapterFacts bare = Adapter(5, "eth3", nullptr);
  AdapterFacts vpn = Adapter(6, "tun0", "10.8.0.2", "255.255.255.255");
  vpn.broadcast = false;
  AdapterFacts failed = Adapter(7, "eth4", "10.50.0.1");
  f.adapters = {lo, Adapter(2, "eth0", "10.10.0.1"), down, cable, bare, vpn, failed};
  // eth0 by index; a link known by its name only still counts.
  f.sentLinks = {{2, "eth0"}, {0, "eth9"}};
  f.adapters.push_back(Adapter(8, "eth9", "10.90.0.1"));
  f.answers = {Answer(1, "10.10.0.5", 2, "eth0"), Answer(2, "10.10.0.6", 2, "eth0"),
               Answer(3, "10.50.0.9", 7, "eth4")};

  const DoctorReport r = BuildDoctorReport(f);
  ASSERT_EQ(r.adapters.size(), 7u) << "loopback is no adapter to a device";
  const std::vector<std::pair<std::string, NotSentReason>> expected = {
      {"eth0", NotSentReason::None},        {"eth1", NotSentReason::Down},
      {"eth2", NotSentReason::NoCarrier},   {"eth3", NotSentReason::NoAddress},
      {"tun0", NotSentReason::CannotBroadcast}, {"eth4", NotSentReason::SendFailed},
      {"eth9", NotSentReason::None}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(r.adapters[i].name, expected[i].first);
    EXPECT_EQ(r.adapters[i].notSent, expected[i].second) << expected[i].first;
  }
  EXPECT_EQ(r.adapters[0].answers, 2);
  EXPECT_EQ(r.adapters[0].prefix, 24);
  EXPECT_EQ(r.adapters[3].prefix, -1);
  EXPECT_EQ(r.adapters[4].prefix, 32);
  EXPECT_EQ(r.adapters[5].answers, 1) << "an answer counts where it came in, sent there or not";
  EXPECT_EQ(r.devices, 3);
  EXPECT_FALSE(r.broadcastRouted);

  // With the broadcasts off, an adapter that could carry one says so.
  f.broadcastEnabled = false;
  f.sentLinks.clear();
  const DoctorReport off = BuildDoctorReport(f);
  EXPECT_EQ(off.adapters[0].notSent, NotSentReason::BroadcastsOff);
  EXPECT_EQ(off.adapters[2].notSent, NotSentReason::NoCarrier) << "the adapter's own state comes first";
  EXPECT_FALSE(off.broadcastRouted);
  // On, but no adapter took it: it went where the routing sent it.
  f.broadcastEnabled = true;
  EXPECT_TRUE(BuildDoctorReport(f).broadcastRouted);
  f.sendFailed = true;
  EXPECT_FALSE(BuildDoctorReport(f).broadcastRouted) << "nothing left at all";
}

TEST(DoctorReport, ASilentAdapterGetsTheLikelyCausesInOrderWithExactRemedies) {
  DoctorFacts f;
  AdapterFacts strict = Adapter(2, "qla", "10.10.0.1");
  strict.rpFilter = 1;
  AdapterFacts loose = Adapter(3, "qlb", "10.20.0.1");
  loose.rpFilter = 2;
  AdapterFacts heard = Adapter(4, "qlc", "10.99.0.1");
  AdapterFacts unplugged = Adapter(5, "qld", "10.40.0.1");
  unplugged.carrier = false;
  f.adapters = {strict, loose, heard, unplugged};
  f.sentLinks = {{2, "qla"}, {3, "qlb"}, {4, "qlc"}};
  f.answers = {Answer(1, "10.99.0.7", 4, "qlc")};
  f.firewall = Nft({{"inet", "t", "in", 1, false}, {"ip", "filter", "INPUT", 0, true}});

  const DoctorReport r = BuildDoctorReport(f);
  EXPECT_EQ(Kinds(r.adapters[0].causes),
            (std::vector<CauseKind>{CauseKind::Firewall, CauseKind::ReversePath, CauseKind::Router}));
  EXPECT_EQ(Kinds(r.adapters[1].causes), (std::vector<CauseKind>{CauseKind::Firewall, CauseKind::Router}))
      << "loose filtering lets answers through while a route leads back";
  EXPECT_TRUE(r.adapters[2].causes.empty()) << "it heard a device";
  EXPECT_TRUE(r.adapters[3].causes.empty()) << "no broadcast left: its reason says enough";

  // A datagram must pass every filtering input chain: one rule for each,
  // inserted before whatever drops it.
  EXPECT_EQ(r.adapters[0].causes[0].remedy,
            "sudo nft insert rule inet t in udp sport 8375 accept\n"
            "sudo nft insert rule ip filter INPUT udp sport 8375 accept");
  EXPECT_NE(r.adapters[0].causes[0].text.find("chain inet t in: 1 rule; chain ip filter INPUT: 0 rules, policy drop"),
            std::string::npos)
      << r.adapters[0].causes[0].text;
  EXPECT_EQ(r.adapters[0].causes[1].remedy, "sudo sysctl -w net.ipv4.conf.qla.rp_filter=2");
  EXPECT_NE(r.adapters[0].causes[1].text.find("outside 10.10.0.0/24"), std::string::npos);
  EXPECT_NE(r.adapters[0].causes[2].remedy.find("--target A.B.C.D/N"), std::string::npos);
  // The window asks another network its own way.
  f.frontEnd = DoctorFrontEnd::Window;
  const std::string windowRemedy = BuildDoctorReport(f).adapters[0].causes[2].remedy;
  EXPECT_NE(windowRemedy.find("A.B.C.D/N (the subnet's broadcast) or A.B.C.D (one address) under Other networks..."),
            std::string::npos)
      << windowRemedy;
  EXPECT_EQ(windowRemedy.find("--target"), std::string::npos);
  f.frontEnd = DoctorFrontEnd::CommandLine;

  // Each firewall by its own tool, as the README gives the rules.
  struct Case {
    FirewallKind kind;
    const char* remedy;
  } cases[] = {
      {FirewallKind::Firewalld, "sudo firewall-cmd --permanent --add-source-port=8375/udp && sudo firewall-cmd --reload"},
      {FirewallKind::Ufw, "sudo ufw allow proto udp from any port 8375"},
  };
  for (const Case& c : cases) {
    f.firewall = FirewallFacts{};
    f.firewall.kind = c.kind;
    const DoctorReport other = BuildDoctorReport(f);
    ASSERT_FALSE(other.adapters[0].causes.empty());
    EXPECT_EQ(other.adapters[0].causes[0].kind, CauseKind::Firewall);
    EXPECT_EQ(other.adapters[0].causes[0].remedy, c.remedy);
  }
  // Not readable: still the usual cause, said to be unconfirmed.
  f.firewall = FirewallFacts{};
  f.firewall.why = "reading the nftables ruleset needs root privileges";
  const DoctorReport unknown = BuildDoctorReport(f);
  EXPECT_EQ(unknown.adapters[0].causes[0].kind, CauseKind::Firewall);
  EXPECT_NE(unknown.adapters[0].causes[0].text.find("needs root privileges"), std::string::npos);
  EXPECT_NE(unknown.adapters[0].causes[0].remedy.find("udp sport 8375 accept"), std::string::npos);
  // Read, and nothing filters: not offered.
  f.firewall = NoFirewall();
  EXPECT_EQ(Kinds(BuildDoctorReport(f).adapters[0].causes),
            (std::vector<CauseKind>{CauseKind::ReversePath, CauseKind::Router}));
}

TEST(DoctorReport, TargetsCountTheirAnswersAndNameWhatASilentOneMayMean) {
  DoctorFacts f;
  f.firewall = NoFirewall();
  f.adapters = {Adapter(4, "qlc", "10.99.0.1")};
  f.broadcastEnabled = false;
  std::vector<std::string> specs = {"10.30.0.0/24", "10.40.0.9", "10.50.0.0/24", "10.60.0.0/12", "10.70.0.1"};
  for (const std::string& s : specs) f.targets.push_back(ParseTarget(s).target);
  f.targets.push_back(ParseSweep("10.30.0.0/28").target);
  f.targetSends = {{1, 0}, {1, 0}, {1, 0}, {1, 0}, {0, 101}, {14, 0}};
  f.answers = {Answer(1, "10.30.0.5", 4, "qlc", 0), Answer(2, "10.30.0.6", 4, "qlc", 0),
               Answer(3, "10.40.0.9", 4, "qlc", 1), Answer(4, "10.30.0.7", 4, "qlc", 5)};

  const DoctorReport r = BuildDoctorReport(f);
  ASSERT_EQ(r.targets.size(), 6u);
  EXPECT_EQ(r.targets[0].answers, 2);
  EXPECT_EQ(r.targets[1].answers, 1);
  EXPECT_TRUE(r.targets[0].causes.empty());
  EXPECT_EQ(r.targets[5].kind, DiscoveryTarget::Kind::Sweep);
  EXPECT_EQ(r.targets[5].requests, 14u);
  EXPECT_EQ(r.targets[5].sent, 14u);
  EXPECT_EQ(r.targets[5].answers, 1);
  // A silent subnet: its router may refuse directed broadcasts; a sweep is
  // offered where a sweep can go (/16 and narrower).
  ASSERT_EQ(Kinds(r.targets[2].causes), (std::vector<CauseKind>{CauseKind::DirectedBroadcast}));
  EXPECT_NE(r.targets[2].causes[0].remedy.find("--sweep 10.50.0.0/24"), std::string::npos);
  ASSERT_EQ(r.targets[3].causes.size(), 1u);
  EXPECT_EQ(r.targets[3].causes[0].remedy.find("--sweep"), std::string::npos);
  EXPECT_NE(r.targets[3].causes[0].text.find("10.48.0.0/12"), std::string::npos) << r.targets[3].causes[0].text;
  // What never left has its error, not a cause.
  EXPECT_EQ(r.targets[4].sendError, 101);
  EXPECT_TRUE(r.targets[4].causes.empty());
  // An answer to a target is not one of the link it came in on's subnet.
  EXPECT_TRUE(r.outsideSubnet.empty());
  EXPECT_EQ(r.adapters[0].answers, 4);
  EXPECT_TRUE(r.adapters[0].causes.empty());
}

TEST(DoctorReport, DevicesOutsideTheirAdaptersSubnetAndSharedAddresses) {
  DoctorFacts f;
  f.firewall = NoFirewall();
  f.adapters = {Adapter(2, "qla", "10.10.0.1"), Adapter(3, "qlb", "10.20.0.1", "255.255.0.0")};
  f.sentLinks = {{2, "qla"}, {3, "qlb"}};
  f.targets = {ParseTarget("192.168.7.0/24").target};
  f.answers = {Answer(1, "10.10.0.31", 2, "qla"),   Answer(2, "192.168.7.20", 2, "qla"),
               Answer(3, "10.20.9.9", 3, "qlb"),    Answer(4, "0.0.0.0", 3, "qlb"),
               Answer(5, "10.10.0.31", 3, "qlb"),   Answer(6, "192.168.7.21", 2, "qla", 0),
               Answer(7, "0.0.0.0", 0, "")};

  const DoctorReport r = BuildDoctorReport(f);
  ASSERT_EQ(r.outsideSubnet.size(), 3u);
  EXPECT_EQ(r.outsideSubnet[0].mac, "00:50:C2:74:00:02");
  EXPECT_EQ(r.outsideSubnet[0].adapter, "qla");
  EXPECT_EQ(r.outsideSubnet[0].network, Ip("10.10.0.0"));
  EXPECT_EQ(r.outsideSubnet[0].prefix, 24);
  EXPECT_EQ(r.outsideSubnet[0].remedy,
            "Give it an address with set-ip: explorerctl set-ip 00:50:C2:74:00:02 A.B.C.D --mask 255.255.255.0 "
            "(a free address of 10.10.0.0/24).");
  EXPECT_EQ(r.outsideSubnet[1].ip, Ip("0.0.0.0")) << "a device without an address is outside too";
  EXPECT_EQ(r.outsideSubnet[2].mac, "00:50:C2:74:00:05") << "inside qla's subnet, but it answered on qlb";
  // Two pairs, each in the order they answered; a link unknown is no
  // reason to leave a device out of them.
  ASSERT_EQ(r.duplicates.size(), 2u);
  EXPECT_EQ(r.duplicates[0].ip, Ip("10.10.0.31"));
  EXPECT_EQ(r.duplicates[0].macs, (std::vector<std::string>{"00:50:C2:74:00:01", "00:50:C2:74:00:05"}));
  EXPECT_EQ(r.duplicates[1].macs, (std::vector<std::string>{"00:50:C2:74:00:04", "00:50:C2:74:00:07"}));
}

TEST(DoctorReport, TheTextNamesEachFindingAndItsRemedyLines) {
  DoctorFacts f;
  AdapterFacts cable = Adapter(3, "qlb", "10.20.0.1");
  cable.carrier = false;
  f.adapters = {Adapter(2, "qla", "10.10.0.1"), cable, Adapter(4, "eth5", nullptr)};
  f.adapters[2].up = false;
  f.sentLinks = {{2, "qla"}};
  f.firewall = Nft({{"inet", "t", "in", 1, false}, {"inet", "u", "in", 0, true}});
  const std::string text = DoctorText(BuildDoctorReport(f));
  EXPECT_EQ(text.substr(0, text.find('\n')), "0 devices answered the discovery.");
  for (const char* line : {"  qla: up, carrier, 10.10.0.1/24; broadcast sent, 0 devices answered\n",
                           "  qlb: up, no carrier, 10.20.0.1/24; no broadcast (no carrier)\n",
                           "  eth5: down, no IPv4 address; no broadcast (down)\n",
                           "\nNothing answered through qla. Likely causes, most likely first:\n  1. The nftables",
                           "     sudo nft insert rule inet t in udp sport 8375 accept\n"
                           "     sudo nft insert rule inet u in udp sport 8375 accept\n  2. The devices may be"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  EXPECT_EQ(text.find("Nothing answered through qlb"), std::string::npos);
  EXPECT_EQ(text.find("Targets:"), std::string::npos) << "no target, no section";
}

// The keys of every object the JSON has, with their paths ("adapters[].name").
void CollectKeys(const json& j, const std::string& path, std::set<std::string>& keys) {
  if (j.is_object()) {
    for (auto it = j.begin(); it != j.end(); ++it) {
      const std::string key = path.empty() ? it.key() : path + "." + it.key();
      keys.insert(key);
      CollectKeys(it.value(), key, keys);
    }
  } else if (j.is_array()) {
    for (const json& e : j) CollectKeys(e, path + "[]", keys);
  }
}

TEST(DoctorReport, TheJsonHasTheKeysTheReadmeDocuments) {
  DoctorFacts f;
  AdapterFacts strict = Adapter(2, "qla", "10.10.0.1");
  strict.rpFilter = 1;
  AdapterFacts bare = Adapter(3, "qlb", nullptr);
  bare.rpFilter = -1;
  f.adapters = {strict, bare, Adapter(4, "qlc", "10.99.0.1")};
  f.sentLinks = {{2, "qla"}, {4, "qlc"}};
  f.targets = {ParseTarget("10.30.0.0/24").target, ParseTarget("10.40.0.9").target};
  f.targetSends = {{1, 0}, {0, 101}};
  f.answers = {Answer(1, "192.168.1.5", 4, "qlc"), Answer(2, "192.168.1.5", 4, "qlc")};
  f.firewall = Nft({{"inet", "t", "in", 1, false}});

  const json j = json::parse(DoctorJson(BuildDoctorReport(f)));
  EXPECT_EQ(j["devices"], 2);
  EXPECT_EQ(j["adapters"][0]["causes"][0]["cause"], "firewall");
  EXPECT_EQ(j["adapters"][0]["causes"][1]["cause"], "rp_filter");
  EXPECT_EQ(j["adapters"][0]["causes"][2]["cause"], "router");
  EXPECT_EQ(j["adapters"][1]["ipv4"], nullptr);
  EXPECT_EQ(j["adapters"][1]["prefix"], nullptr);
  EXPECT_EQ(j["adapters"][1]["rp_filter"], nullptr);
  EXPECT_EQ(j["adapters"][1]["not_sent_because"], "no IPv4 address");
  EXPECT_EQ(j["adapters"][0]["not_sent_because"], nullptr);
  EXPECT_EQ(j["targets"][1]["send_error"], "Network is unreachable");
  EXPECT_EQ(j["targets"][0]["causes"][1]["cause"], "directed_broadcast");
  EXPECT_EQ(j["firewall"]["name"], "nftables");
  EXPECT_EQ(j["firewall"]["remedy"], "sudo nft insert rule inet t in udp sport 8375 accept");
  EXPECT_EQ(j["outside_subnet"][0]["subnet"], "10.99.0.0/24");
  EXPECT_EQ(j["duplicates"][0]["macs"].size(), 2u);

  std::set<std::string> keys;
  CollectKeys(j, "", keys);
  EXPECT_EQ(keys.size(), 49u) << "a key came or went: the README's list must follow";
  const char* source = std::getenv("QUILL_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string readme = testsupport::ReadAll(std::string(source) + "/README.md");
  const size_t section = readme.find("## Troubleshooting");
  ASSERT_NE(section, std::string::npos);
  for (const std::string& key : keys)
    EXPECT_NE(readme.find("`" + key + "`", section), std::string::npos) << key << " is not in the README";
}

class DoctorProbes : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quill-doctor-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  void Write(const std::string& relative, const std::string& text) {
    fs::create_directories((dir_ / relative).parent_path());
    testsupport::WriteAll((dir_ / relative).string(), text);
  }
  fs::path dir_;
};

TEST_F(DoctorProbes, TheReversePathFilterInForceIsTheLargerOfTheAdaptersAndAll) {
  Write("conf/all/rp_filter", "1\n");
  Write("conf/qla/rp_filter", "0\n");
  Write("conf/qlb/rp_filter", "2\n");
  Write("conf/qlc/rp_filter", "junk\n");
  const std::string conf = (dir_ / "conf").string();
  EXPECT_EQ(ReadRpFilter("qla", conf), 1);
  EXPECT_EQ(ReadRpFilter("qlb", conf), 2);
  EXPECT_EQ(ReadRpFilter("qlc", conf), -1);
  EXPECT_EQ(ReadRpFilter("qld", conf), -1) << "no such adapter";
  // Nothing outside the folder is read for a name that is a path.
  Write("rp_filter", "1\n");
  Write("conf/x/rp_filter", "1\n");
  for (const char* name : {"", ".", "..", "../conf/x", "x/.."}) EXPECT_EQ(ReadRpFilter(name, conf), -1) << name;
  fs::remove(dir_ / "conf/all/rp_filter");
  EXPECT_EQ(ReadRpFilter("qla", conf), 0) << "without \"all\" the adapter's own holds";
}

TEST_F(DoctorProbes, UfwAndFirewalldAreFoundWithoutPrivileges) {
  Write("ufw.conf", "# comment\nENABLED=no\n");
  EXPECT_FALSE(UfwEnabled((dir_ / "ufw.conf").string()));
  Write("ufw.conf", "# /etc/ufw/ufw.conf\n\nENABLED=yes\nLOGLEVEL=low\n");
  EXPECT_TRUE(UfwEnabled((dir_ / "ufw.conf").string()));
  EXPECT_FALSE(UfwEnabled((dir_ / "none.conf").string()));

  Write("proc/1/comm", "systemd\n");
  Write("proc/812/comm", "firewalld\n");
  Write("proc/self/comm", "firewalld\n");  // not a process number
  Write("proc/sys/comm", "firewalld\n");
  EXPECT_TRUE(ProcessRuns("firewalld", (dir_ / "proc").string()));
  fs::remove_all(dir_ / "proc/812");
  EXPECT_FALSE(ProcessRuns("firewalld", (dir_ / "proc").string()));
  EXPECT_FALSE(ProcessRuns("firewalld", (dir_ / "no-proc").string()));
}

}  // namespace
