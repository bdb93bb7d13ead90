// What net/ reads of the system for a report of why nothing answered: every
// interface, also those without an address or a carrier, and the nftables
// input chains. Both are made here, inside the private network namespace,
// where they go with the namespace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/Interfaces.h"
#include "net/Ipv4.h"
#include "net/Nftables.h"
#include "support/AsNobody.h"
#include "support/NetGuard.h"

namespace {

bool Shell(const std::string& command) {
  return std::system(("timeout 10 " + command + " >/dev/null 2>&1").c_str()) == 0;
}

const net::Interface* Named(const std::vector<net::Interface>& list, const std::string& name) {
  const auto it = std::find_if(list.begin(), list.end(), [&](const net::Interface& i) { return i.name == name; });
  return it == list.end() ? nullptr : &*it;
}

class SystemState : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    if (!Shell("ip link add qsa type veth peer name qsb")) GTEST_SKIP() << "cannot make a veth pair here";
  }
  void TearDown() override {
    Shell("ip link del qsa");
    Shell("nft delete table inet qs");
    Shell("nft delete table ip qs4");
    Shell("nft delete table ip6 qs6");
  }
};

TEST_F(SystemState, EveryInterfaceIsListedAlsoWithoutAnAddressOrACarrier) {
  std::vector<net::Interface> all, ipv4;
  ASSERT_EQ(net::ListInterfaces(&all), 0);
  const net::Interface* a = Named(all, "qsa");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->address, 0u);
  EXPECT_FALSE(a->up);
  EXPECT_TRUE(a->broadcast);
  ASSERT_EQ(net::ListIpv4Interfaces(&ipv4), 0);
  EXPECT_EQ(Named(ipv4, "qsa"), nullptr) << "the IPv4 list keeps to addressed interfaces";
  ASSERT_NE(Named(all, "lo"), nullptr);
  EXPECT_EQ(Named(all, "lo")->address, Named(ipv4, "lo")->address);

  // Up with an address, its peer down: no carrier.
  ASSERT_TRUE(Shell("ip addr add 10.210.0.1/24 dev qsa"));
  ASSERT_TRUE(Shell("ip addr add 10.211.0.1/16 dev qsa"));
  ASSERT_TRUE(Shell("ip link set qsa up"));
  ASSERT_EQ(net::ListInterfaces(&all), 0);
  a = Named(all, "qsa");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->up);
  EXPECT_FALSE(a->running);
  uint32_t first = 0, mask = 0;
  net::ParseIpv4("10.210.0.1", &first);
  net::ParseIpv4("255.255.255.0", &mask);
  EXPECT_EQ(a->address, first) << "the first address stands for the interface";
  EXPECT_EQ(a->mask, mask);
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const net::Interface& i) { return i.name == "qsa"; }), 1);
  EXPECT_NE(Named(all, "qsb"), nullptr);
}

TEST_F(SystemState, TheInputChainsOfIpAndInetAreReadWithTheirRulesAndPolicy) {
  std::vector<net::NftInputChain> chains;
  ASSERT_EQ(net::ListNftInputChains(&chains), 0);
  EXPECT_TRUE(chains.empty()) << "a new namespace has no ruleset";

  ASSERT_TRUE(Shell("nft add table inet qs"));
  ASSERT_TRUE(Shell("nft add chain inet qs in '{ type filter hook input priority 0; }'"));
  ASSERT_TRUE(Shell("nft add rule inet qs in udp sport 8375 drop"));
  ASSERT_TRUE(Shell("nft add rule inet qs in tcp dport 22 accept"));
  ASSERT_TRUE(Shell("nft add chain inet qs out '{ type filter hook output priority 0; }'"));
  ASSERT_TRUE(Shell("nft add rule inet qs out accept"));
  ASSERT_TRUE(Shell("nft add chain inet qs nat-in '{ type nat hook input priority 100; }'"));
  ASSERT_TRUE(Shell("nft add rule inet qs nat-in counter"));
  ASSERT_TRUE(Shell("nft add chain inet qs helper"));
  ASSERT_TRUE(Shell("nft add rule inet qs helper accept"));
  ASSERT_TRUE(Shell("nft add table ip qs4"));
  ASSERT_TRUE(Shell("nft add chain ip qs4 INPUT '{ type filter hook input priority 0; policy drop; }'"));
  ASSERT_TRUE(Shell("nft add table ip6 qs6"));
  ASSERT_TRUE(Shell("nft add chain ip6 qs6 in '{ type filter hook input priority 0; policy drop; }'"));

  ASSERT_EQ(net::ListNftInputChains(&chains), 0);
  ASSERT_EQ(chains.size(), 2u) << "the output hook, a nat chain, a regular chain and IPv6 filter no answer";
  std::sort(chains.begin(), chains.end(), [](const auto& x, const auto& y) { return x.family < y.family; });
  EXPECT_EQ(chains[0].family, "inet");
  EXPECT_EQ(chains[0].table, "qs");
  EXPECT_EQ(chains[0].chain, "in");
  EXPECT_EQ(chains[0].rules, 2u);
  EXPECT_FALSE(chains[0].dropPolicy);
  EXPECT_EQ(chains[1].family, "ip");
  EXPECT_EQ(chains[1].table, "qs4");
  EXPECT_EQ(chains[1].chain, "INPUT");
  EXPECT_EQ(chains[1].rules, 0u);
  EXPECT_TRUE(chains[1].dropPolicy);
  EXPECT_TRUE(chains[1].Filters());

  ASSERT_TRUE(Shell("nft flush chain inet qs in"));
  ASSERT_EQ(net::ListNftInputChains(&chains), 0);
  const auto in = std::find_if(chains.begin(), chains.end(), [](const auto& c) { return c.table == "qs"; });
  ASSERT_NE(in, chains.end());
  EXPECT_FALSE(in->Filters()) << "no rule and policy accept: it lets everything through";

  // An ordinary user is refused the ruleset: the firewall is then not known.
  const std::string asNobody = testsupport::RunAsNobody([] {
    std::vector<net::NftInputChain> seen;
    return std::to_string(net::ListNftInputChains(&seen));
  });
  if (::geteuid() == 0) {
    EXPECT_EQ(asNobody, std::to_string(EPERM));
  }
}

}  // namespace
