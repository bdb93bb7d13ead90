// The target and sweep syntax: what each spelling asks, and that every
// mistake is refused with a text that names it.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "explorer/protocol/Targets.h"
#include "net/Ipv4.h"

namespace {

uint32_t Ip(const char* text) {
  uint32_t ip = 0;
  EXPECT_TRUE(net::ParseIpv4(text, &ip)) << text;
  return ip;
}

TEST(TargetsTest, AHostIsAskedAloneAndASubnetAtItsBroadcastAddress) {
  TargetParse p = ParseTarget(" 10.30.0.6 ");
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.target.kind, DiscoveryTarget::Kind::Host);
  EXPECT_EQ(p.target.Destination(), Ip("10.30.0.6"));
  EXPECT_EQ(p.target.spec, "10.30.0.6");
  EXPECT_TRUE(p.target.Covers(Ip("10.30.0.6")));
  EXPECT_FALSE(p.target.Covers(Ip("10.30.0.7")));

  // Written with a host part, as people copy it from a device's page.
  p = ParseTarget("10.30.0.17/24");
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.target.kind, DiscoveryTarget::Kind::Subnet);
  EXPECT_TRUE(p.target.IsBroadcast());
  EXPECT_EQ(p.target.Destination(), Ip("10.30.0.255"));
  EXPECT_TRUE(p.target.Covers(Ip("10.30.0.1")));
  EXPECT_FALSE(p.target.Covers(Ip("10.30.1.1")));
  EXPECT_EQ(ParseTarget("172.16.5.1/30").target.Destination(), Ip("172.16.5.3"));
  EXPECT_EQ(ParseTarget("10.0.0.0/8").target.Destination(), Ip("10.255.255.255"));
}

TEST(TargetsTest, MistakesAreNamed) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "no address given"},
      {"hall-2", "\"hall-2\" is neither an IPv4 address nor A.B.C.D/N"},
      {"10.30.0.0/31", "/31 is out of range: use /1 to /30"},
      {"10.30.0.0/0", "/0 is out of range: use /1 to /30"},
      {"10.30.0.0/33", "\"33\" is not a prefix length (0-32)"},
      {"10.30.0.0/", "\"\" is not a prefix length (0-32)"},
      {"10.30.0.0/2x", "\"2x\" is not a prefix length (0-32)"},
      {"10.30.0/24", "\"10.30.0\" is not an IPv4 address"},
      {"255.255.255.255", "255.255.255.255 is not a device's address"},
      {"0.0.0.0", "0.0.0.0 is not a device's address"},
  };
  for (const auto& c : cases) {
    const TargetParse p = ParseTarget(c.text);
    EXPECT_FALSE(p.ok) << c.text;
    EXPECT_EQ(p.error, c.error) << c.text;
  }
}

TEST(TargetsTest, ASweepAsksEveryHostOfItsRange) {
  TargetParse p = ParseSweep("10.30.0.0/24");
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.target.Count(), 254u) << "neither the network's address nor its broadcast";
  EXPECT_TRUE(p.target.Covers(Ip("10.30.0.1")));
  EXPECT_TRUE(p.target.Covers(Ip("10.30.0.254")));
  EXPECT_FALSE(p.target.Covers(Ip("10.30.0.255")));
  EXPECT_EQ(ParseSweep("10.0.0.0/16").target.Count(), 65534u);
  EXPECT_EQ(ParseSweep("10.0.0.8/31").target.Count(), 2u);
  EXPECT_EQ(ParseSweep("10.0.0.8/32").target.Count(), 1u);

  p = ParseSweep("10.40.0.250 - 10.40.1.4");
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.target.Count(), 11u);
  EXPECT_TRUE(p.target.Covers(Ip("10.40.0.255")));
  EXPECT_TRUE(p.target.Covers(Ip("10.40.1.4")));
  EXPECT_FALSE(p.target.Covers(Ip("10.40.1.5")));
  EXPECT_EQ(ParseSweep("10.40.0.9-10.40.0.9").target.Count(), 1u);

  EXPECT_EQ(ParseSweep("10.0.0.0/15").error, "/15 is out of range: use /16 to /32");
  EXPECT_EQ(ParseSweep("10.40.0.9-10.40.0.1").error, "the range 10.40.0.9-10.40.0.1 ends before it starts");
  EXPECT_EQ(ParseSweep("10.0.0.0-10.1.0.0").error, "the range 10.0.0.0-10.1.0.0 has more than 65536 addresses");
  EXPECT_TRUE(ParseSweep("10.0.0.0-10.0.255.255").ok) << "exactly the limit";
  EXPECT_EQ(ParseSweep("10.30.0.6").error, "\"10.30.0.6\" is not A.B.C.D/N nor A.B.C.D-E.F.G.H");
  EXPECT_EQ(ParseSweep("0.0.0.0-255.255.255.255").error,
            "the range 0.0.0.0-255.255.255.255 has more than 65536 addresses")
      << "no overflow in the count";
}

TEST(TargetsTest, AListNamesEveryBadLineAndKeepsTheGoodOnes) {
  const TargetList list = ParseTargetLines(
      "# hall 1\r\n10.30.0.0/24\n\n  10.40.0.9   # by the door\nhall-2\n10.1.1.1/31\n# end");
  ASSERT_EQ(list.targets.size(), 2u);
  EXPECT_EQ(list.targets[0].spec, "10.30.0.0/24");
  EXPECT_EQ(list.targets[1].spec, "10.40.0.9");
  ASSERT_EQ(list.errors.size(), 2u);
  EXPECT_EQ(list.errors[0], "line 5: \"hall-2\" is neither an IPv4 address nor A.B.C.D/N");
  EXPECT_EQ(list.errors[1], "line 6: /31 is out of range: use /1 to /30");
  EXPECT_TRUE(ParseTargetLines("").targets.empty());
  EXPECT_EQ(TargetCovering(list.targets, Ip("10.40.0.9")), 1);
  EXPECT_EQ(TargetCovering(list.targets, Ip("10.30.0.9")), 0);
  EXPECT_EQ(TargetCovering(list.targets, Ip("10.50.0.9")), -1);
}

}  // namespace
