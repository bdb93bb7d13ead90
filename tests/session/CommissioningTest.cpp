// Checking a commissioning plan against what a scan heard: every problem
// that would leave a plant half commissioned is found before anything is
// sent, each named by its row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "explorer/session/Commissioning.h"
#include "net/Ipv4.h"

namespace {

uint32_t Ip(const char* text) {
  uint32_t ip = 0;
  EXPECT_TRUE(net::ParseIpv4(text, &ip)) << text;
  return ip;
}

HeardDevice Heard(uint8_t last, const char* ip, const char* network, const char* mask, const char* via) {
  HeardDevice d;
  const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x74, 0x00, last};
  d.record.setMac(mac);
  d.record.setIp(Ip(ip));
  d.record.setMask(Ip("255.255.255.0"));
  d.network = Ip(network);
  d.mask = Ip(mask);
  d.via = via;
  return d;
}

std::vector<PlanRow> Rows(const std::vector<std::vector<std::string>>& body) {
  std::vector<std::vector<std::string>> records{{"MAC", "ip", "Mask", "note"}};
  records.insert(records.end(), body.begin(), body.end());
  const PlanParse plan = ParsePlan(records);
  EXPECT_TRUE(plan.errors.empty()) << plan.errors.front();
  return plan.rows;
}

TEST(CommissioningTest, ThePlanIsReadByItsHeaderAndEveryBadRowIsNamed) {
  PlanParse plan = ParsePlan({{"ip", "mask", "mac"}, {"10.30.0.50", "255.255.255.0", "00-50-c2-74-00-01"}});
  ASSERT_TRUE(plan.errors.empty());
  ASSERT_EQ(plan.rows.size(), 1u);
  EXPECT_EQ(plan.rows[0].line, 2u);
  EXPECT_EQ(plan.rows[0].mac[5], 0x01);
  EXPECT_EQ(plan.rows[0].ip, Ip("10.30.0.50"));

  plan = ParsePlan({{"mac", "ip", "mask"},
                    {"00:50:C2:74:00:01", "10.30.0.50"},
                    {"not-a-mac", "10.30.0.51", "255.255.255.0"},
                    {"00:50:C2:74:00:03", "10.30.0.256", "255.255.255.0"},
                    {"00:50:C2:74:00:04", "10.30.0.53", "255.0.255.0"},
                    {"00:50:C2:74:00:05", "255.255.255.255", "255.255.255.0"},
                    {"00:50:C2:74:00:06", " 10.30.0.56 ", "255.255.255.0"}});
  ASSERT_EQ(plan.errors.size(), 5u);
  EXPECT_EQ(plan.errors[0], "row 2: needs a mac, an ip and a mask");
  EXPECT_EQ(plan.errors[1], "row 3: \"not-a-mac\" is not an Ethernet address");
  EXPECT_EQ(plan.errors[2], "row 4: \"10.30.0.256\" is not an IPv4 address");
  EXPECT_EQ(plan.errors[3].rfind("row 5: 255.0.255.0 is not a valid network mask", 0), 0u) << plan.errors[3];
  EXPECT_EQ(plan.errors[4], "row 6: 255.255.255.255 is no address for a device");
  ASSERT_EQ(plan.rows.size(), 1u) << "the good row is still read";

  EXPECT_EQ(ParsePlan({}).errors.at(0), "the plan is empty: it needs a header mac,ip,mask and a row per device");
  EXPECT_EQ(ParsePlan({{"mac", "address", "mask"}}).errors.at(0),
            "row 1: the header must name the columns mac, ip and mask");
  EXPECT_EQ(ParsePlan({{"mac", "ip", "mask"}}).errors.at(0), "the plan has a header but no device");
}

TEST(CommissioningTest, ASoundPlanPassesAndAFarAddressIsOnlyAWarning) {
  const std::vector<HeardDevice> heard{Heard(1, "10.30.0.5", "10.30.0.0", "255.255.255.0", "10.30.0.0/24"),
                                       Heard(2, "0.0.0.0", "10.10.0.0", "255.255.255.0", "qla"),
                                       Heard(3, "10.40.0.9", "0.0.0.0", "0.0.0.0", "10.40.0.9")};
  const PlanCheck check = CheckPlan(Rows({{"00:50:C2:74:00:01", "10.30.0.50", "255.255.255.0", ""},
                                          {"00:50:C2:74:00:02", "10.20.0.7", "255.255.255.0", "wrong hall"},
                                          {"00:50:C2:74:00:03", "10.40.0.99", "255.255.0.0", ""}}),
                                     heard);
  EXPECT_TRUE(check.Ok()) << check.errors.front();
  EXPECT_EQ(check.deviceOf, (std::vector<size_t>{0, 1, 2}));
  ASSERT_EQ(check.warnings.size(), 1u) << "the host target says nothing of its subnet";
  EXPECT_EQ(check.warnings[0],
            "row 3: 10.20.0.7 is outside 10.10.0.0/255.255.255.0, where 00:50:C2:74:00:02 was heard (qla); it may "
            "not be reachable there afterwards");
}

TEST(CommissioningTest, EveryConflictStopsThePlanBeforeAnythingIsSent) {
  const std::vector<HeardDevice> heard{Heard(1, "10.30.0.5", "10.30.0.0", "255.255.255.0", "10.30.0.0/24"),
                                       Heard(2, "10.30.0.6", "10.30.0.0", "255.255.255.0", "10.30.0.0/24"),
                                       Heard(9, "10.30.0.77", "10.30.0.0", "255.255.255.0", "10.30.0.0/24")};
  const PlanCheck check = CheckPlan(Rows({{"00:50:C2:74:00:01", "10.30.0.60", "255.255.255.0", ""},
                                          {"00:50:C2:74:00:02", "10.30.0.60", "255.255.255.0", ""},
                                          {"00:50:C2:74:00:07", "10.30.0.61", "255.255.255.0", "not there"},
                                          {"00:50:C2:74:00:01", "10.30.0.62", "255.255.255.0", "again"},
                                          {"00:50:C2:74:00:02", "10.30.0.77", "255.255.255.0", "taken"},
                                          {"00:50:C2:74:00:01", "10.30.0.6", "255.255.255.0", "leaving"}}),
                                     heard);
  EXPECT_FALSE(check.Ok());
  EXPECT_EQ(check.errors, (std::vector<std::string>{
                              "row 3: 10.30.0.60 is planned for row 2's device as well",
                              "row 4: 00:50:C2:74:00:07 did not answer the scan",
                              "row 5: 00:50:C2:74:00:01 is planned on row 2 already",
                              "row 6: 00:50:C2:74:00:02 is planned on row 3 already",
                              "row 6: 10.30.0.77 is in use by 00:50:C2:74:00:09, which is not in the plan",
                              "row 7: 00:50:C2:74:00:01 is planned on row 2 already",
                          }))
      << "an address a device of the plan gives up is free to take; one a device outside keeps is not";
}

TEST(CommissioningTest, EachOutcomeSaysWhatHappened) {
  EXPECT_EQ(RowStateText({RowState::Pending, ""}), "not applied");
  EXPECT_EQ(RowStateText({RowState::Confirmed, ""}), "confirmed");
  EXPECT_EQ(RowStateText({RowState::Applied, "no answer at 10.30.0.9"}),
            "applied, not confirmed: no answer at 10.30.0.9");
  EXPECT_EQ(RowStateText({RowState::Refused, "Invalid password"}), "refused: Invalid password");
  EXPECT_EQ(RowStateText({RowState::Skipped, "interrupted"}), "skipped: interrupted");
}

}  // namespace
