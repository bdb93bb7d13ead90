// explorerctl scan on a PC with two links (scripts/netns-links.sh): the
// link column tells where each device answered, and --interface sends the
// passes through the named links only.
#include <gtest/gtest.h>

#include <string>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/NetGuard.h"
#include "tests/support/SimProcess.h"

namespace {

using ctltest::RunCtl;

class LinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_LINK_TOPOLOGY();
  }
};

TEST_F(LinksTest, TheLinkColumnAndTheInterfaceChoice) {
  auto a = testsupport::SimProcess::OnLink(0, "00:50:C2:72:00:01 0 10.10.0.31 255.255.255.0 admin\n",
                                           {"--only", "udp"});
  auto b = testsupport::SimProcess::OnLink(1, "00:50:C2:72:00:02 1 10.20.0.32 255.255.255.0 admin\n"
                                              "00:50:C2:72:00:03 0x31 0.0.0.0 0.0.0.0 admin broadcast\n",
                                           {"--only", "udp"});
  ASSERT_TRUE(a.Ready()) << a.Error();
  ASSERT_TRUE(b.Ready()) << b.Error();
  const std::string header = "mac,ip,mask,kind,link,via,duplicate_ip,no_address\r\n";
  const std::string rowA = "00:50:C2:72:00:01,10.10.0.31,255.255.255.0,0,qla,qla,false,false\r\n";
  const std::string rowB = "00:50:C2:72:00:02,10.20.0.32,255.255.255.0,1,qlb,qlb,false,false\r\n";
  const std::string rowC = "00:50:C2:72:00:03,0.0.0.0,0.0.0.0,49,qlb,qlb,false,true\r\n";

  auto r = RunCtl({"scan", "--passes", "1", "--format", "csv"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, header + rowC + rowA + rowB);

  r = RunCtl({"scan", "--passes", "1", "--format", "csv", "--interface", "qlb"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, header + rowC + rowB) << "nothing was sent through qla";
  EXPECT_EQ(r.err, "");

  // No interface of that name: nothing can be sent at all.
  r = RunCtl({"scan", "--passes", "1", "--interface", "no-such-link"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Cannot initialize networking"), std::string::npos) << r.err;
}

// A device without an address takes the mask of the link it answered on
// (qlb: 10.20.0.1/24), not its own 0.0.0.0 that it would refuse.
TEST_F(LinksTest, SetIpWithoutMaskOffersTheMaskOfTheDevicesLink) {
  auto b = testsupport::SimProcess::OnLink(1, "00:50:C2:72:00:13 0x31 0.0.0.0 0.0.0.0 admin\n",
                                           {"--only", "udp"});
  ASSERT_TRUE(b.Ready()) << b.Error();
  auto r = RunCtl({"set-ip", "00:50:C2:72:00:13", "10.20.0.33"}, {"EXPLORERCTL_PASSWORD=admin"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "00:50:C2:72:00:13 10.20.0.33 255.255.255.0\n");
  r = RunCtl({"scan", "--passes", "1", "--format", "csv"});
  EXPECT_NE(r.out.find("00:50:C2:72:00:13,10.20.0.33,255.255.255.0,49,qlb,"), std::string::npos) << r.out;
}

}  // namespace
