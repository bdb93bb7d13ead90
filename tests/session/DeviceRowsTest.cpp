// The device list's rows for hundreds of devices: the column texts, the
// order a header click asks for, the find field's filter and type-ahead.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "explorer/protocol/ListRows.h"
#include "explorer/session/DeviceRows.h"
#include "explorer/session/DeviceRules.h"

namespace {

std::unique_ptr<DeviceRecord> Device(uint8_t macByte, uint16_t kind, const char* ip, const char* mask = "255.255.255.0",
                                     uint8_t firstByte = 0x00) {
  auto r = std::make_unique<DeviceRecord>();
  const uint8_t mac[6] = {firstByte, 0x50, 0xC2, 0x10, 0x00, macByte};
  r->setMac(mac);
  r->setKind(kind);
  r->setIp(inet_addr(ip));
  r->setMask(inet_addr(mask));
  return r;
}

std::vector<const DeviceRecord*> View(const std::vector<std::unique_ptr<DeviceRecord>>& records) {
  std::vector<const DeviceRecord*> out;
  for (const auto& r : records) out.push_back(r.get());
  return out;
}

std::vector<std::string> Column(const std::vector<ListRow>& rows, const std::vector<size_t>& order, int column) {
  std::vector<std::string> out;
  for (size_t at : order) out.push_back(rows[at].text[column]);
  return out;
}

TEST(DeviceRows, KindTextNamesTheNumberAndWhatTheKindIs) {
  const struct {
    uint16_t kind;
    const char* text;
  } kinds[] = {{0, "0 (web)"},         {1, "1 (web)"},   {4, "4 (web)"},          {16, "16 (no upgrade)"},
               {17, "17 (web)"},       {18, "18 (no upgrade)"}, {19, "19 (web)"}, {48, "48 (telnet)"},
               {49, "49 (telnet)"}};
  for (const auto& k : kinds) EXPECT_EQ(KindText(k.kind), k.text) << k.kind;
}

TEST(DeviceRows, RowsCarryEveryColumnInTheScansOrder) {
  std::vector<std::unique_ptr<DeviceRecord>> records;
  records.push_back(Device(1, 48, "192.168.0.20"));
  records.push_back(Device(2, 16, "10.1.1.1", "255.0.0.0"));
  records.push_back(Device(3, 1, "192.168.0.5"));
  records.push_back(Device(4, 1, "192.168.0.5"));
  records.push_back(nullptr);  // no record: no row
  const std::vector<ListRow> rows =
      BuildListRows(View(records), {"eth1", "10.1.1.0/24", "", "eth1"});
  ASSERT_EQ(rows.size(), 4u);
  std::vector<size_t> scan = OrderRows(rows, {});
  EXPECT_EQ(Column(rows, scan, LIST_COLUMN_IP),
            (std::vector<std::string>{"10.1.1.1", "192.168.0.5 (duplicate IP)", "192.168.0.5 (duplicate IP)",
                                      "192.168.0.20"}));
  EXPECT_EQ(Column(rows, scan, LIST_COLUMN_MAC),
            (std::vector<std::string>{"00:50:C2:10:00:02", "00:50:C2:10:00:03", "00:50:C2:10:00:04",
                                      "00:50:C2:10:00:01"}));
  EXPECT_EQ(Column(rows, scan, LIST_COLUMN_KIND),
            (std::vector<std::string>{"16 (no upgrade)", "1 (web)", "1 (web)", "48 (telnet)"}));
  EXPECT_EQ(Column(rows, scan, LIST_COLUMN_MASK),
            (std::vector<std::string>{"255.0.0.0", "255.255.255.0", "255.255.255.0", "255.255.255.0"}));
  EXPECT_EQ(Column(rows, scan, LIST_COLUMN_VIA), (std::vector<std::string>{"10.1.1.0/24", "", "eth1", "eth1"}));
  // Each row names its record.
  EXPECT_EQ(rows[0].device, 1);
  EXPECT_EQ(rows[3].device, 0);
  EXPECT_EQ(rows[1].image, rows[2].image);  // both duplicates crossed
  EXPECT_NE(rows[0].image, rows[1].image);
}

class ListOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // In the order they answered; two share 10.0.0.9.
    records.push_back(Device(0x30, 1, "10.0.0.10", "255.255.0.0"));
    records.push_back(Device(0x0A, 48, "10.0.0.9", "255.0.0.0", 0x02));
    records.push_back(Device(0xFF, 16, "10.0.0.9", "255.255.255.0"));
    records.push_back(Device(0x01, 2, "192.168.1.2", "255.255.255.128"));
    records.push_back(Device(0x02, 1, "0.0.0.0", "0.0.0.0"));
    rows = BuildListRows(View(records), {"eth0", "Eth1", "eth0", "10.9.0.0/16", ""});
  }
  std::vector<std::string> Ips(ListOrder order) { return Column(rows, OrderRows(rows, order), LIST_COLUMN_IP); }
  std::vector<std::string> Macs(ListOrder order) { return Column(rows, OrderRows(rows, order), LIST_COLUMN_MAC); }
  std::vector<std::unique_ptr<DeviceRecord>> records;
  std::vector<ListRow> rows;
};

TEST_F(ListOrderTest, AClickSortsAscendingAndTheSecondReverses) {
  ListOrder order;
  EXPECT_EQ(order.column, -1);
  order = NextOrder(order, LIST_COLUMN_MAC);
  EXPECT_EQ(order, (ListOrder{LIST_COLUMN_MAC, false}));
  order = NextOrder(order, LIST_COLUMN_MAC);
  EXPECT_EQ(order, (ListOrder{LIST_COLUMN_MAC, true}));
  order = NextOrder(order, LIST_COLUMN_MAC);
  EXPECT_EQ(order, (ListOrder{LIST_COLUMN_MAC, false}));
  // Another column starts ascending again.
  order = NextOrder(NextOrder(order, LIST_COLUMN_MAC), LIST_COLUMN_IP);
  EXPECT_EQ(order, (ListOrder{LIST_COLUMN_IP, false}));
  EXPECT_EQ(NextOrder(order, LIST_COLUMNS), order);
}

TEST_F(ListOrderTest, EthernetAddressesByTheirBytes) {
  EXPECT_EQ(Macs({LIST_COLUMN_MAC, false}),
            (std::vector<std::string>{"00:50:C2:10:00:01", "00:50:C2:10:00:02", "00:50:C2:10:00:30",
                                      "00:50:C2:10:00:FF", "02:50:C2:10:00:0A"}));
  EXPECT_EQ(Macs({LIST_COLUMN_MAC, true}),
            (std::vector<std::string>{"02:50:C2:10:00:0A", "00:50:C2:10:00:FF", "00:50:C2:10:00:30",
                                      "00:50:C2:10:00:02", "00:50:C2:10:00:01"}));
}

TEST_F(ListOrderTest, IpAddressesNumericallyAsTheScanSortsThem) {
  // As text 10.0.0.10 would come before 10.0.0.9 and 192.168.1.2 before 20.x.
  const std::vector<std::string> ascending = {"0.0.0.0", "10.0.0.9 (duplicate IP)", "10.0.0.9 (duplicate IP)",
                                              "10.0.0.10", "192.168.1.2"};
  EXPECT_EQ(Ips({LIST_COLUMN_IP, false}), ascending);
  EXPECT_EQ(Ips({}), ascending) << "the scan's own order";
  EXPECT_EQ(Ips({LIST_COLUMN_IP, true}),
            (std::vector<std::string>{"192.168.1.2", "10.0.0.10", "10.0.0.9 (duplicate IP)",
                                      "10.0.0.9 (duplicate IP)", "0.0.0.0"}));
  // Equal addresses read in the order they answered, either way round.
  const std::vector<std::string> tie = {"02:50:C2:10:00:0A", "00:50:C2:10:00:FF"};
  for (bool descending : {false, true}) {
    const std::vector<std::string> macs = Macs({LIST_COLUMN_IP, descending});
    const size_t at = descending ? 2 : 1;
    EXPECT_EQ(std::vector<std::string>(macs.begin() + at, macs.begin() + at + 2), tie) << descending;
  }
}

TEST_F(ListOrderTest, KindMaskAndViaColumns) {
  EXPECT_EQ(Column(rows, OrderRows(rows, {LIST_COLUMN_KIND, false}), LIST_COLUMN_KIND),
            (std::vector<std::string>{"1 (web)", "1 (web)", "2 (web)", "16 (no upgrade)", "48 (telnet)"}));
  EXPECT_EQ(Column(rows, OrderRows(rows, {LIST_COLUMN_MASK, true}), LIST_COLUMN_MASK),
            (std::vector<std::string>{"255.255.255.128", "255.255.255.0", "255.255.0.0", "255.0.0.0", "0.0.0.0"}));
  // Letters in either case sort together; unknown ways first.
  EXPECT_EQ(Column(rows, OrderRows(rows, {LIST_COLUMN_VIA, false}), LIST_COLUMN_VIA),
            (std::vector<std::string>{"", "10.9.0.0/16", "eth0", "eth0", "Eth1"}));
}

TEST_F(ListOrderTest, TheFilterTakesAnyPartOfTheEthernetOrIpText) {
  auto matching = [&](const std::string& filter) {
    std::vector<std::string> out;
    for (size_t at : OrderRows(rows, {}))
      if (RowMatchesFilter(rows[at], filter)) out.push_back(rows[at].text[LIST_COLUMN_IP]);
    return out;
  };
  EXPECT_EQ(matching("").size(), 5u);
  EXPECT_EQ(matching("00:ff"), (std::vector<std::string>{"10.0.0.9 (duplicate IP)"}));
  EXPECT_EQ(matching("C2:10:00:0"),
            (std::vector<std::string>{"0.0.0.0", "10.0.0.9 (duplicate IP)", "192.168.1.2"}));
  EXPECT_EQ(matching("168.1"), (std::vector<std::string>{"192.168.1.2"}));
  EXPECT_EQ(matching(".0.1"), (std::vector<std::string>{"10.0.0.10"}));
  EXPECT_EQ(matching("duplicate").size(), 2u);
  // Nor the kind, the mask or the way it answered.
  EXPECT_TRUE(matching("telnet").empty());
  EXPECT_TRUE(matching("255.255").empty());
  EXPECT_TRUE(matching("eth0").empty());
}

TEST_F(ListOrderTest, TypeAheadMatchesTheIpColumnAsWellAsTheMacColumn) {
  // Shown by MAC: :01 (192.168.1.2), :02 (0.0.0.0), :30, :FF, 02:..:0A.
  std::vector<const ListRow*> shown;
  for (size_t at : OrderRows(rows, {LIST_COLUMN_MAC, false})) shown.push_back(&rows[at]);
  EXPECT_EQ(TypeAheadRow(shown, 0, "192"), 0);
  EXPECT_EQ(TypeAheadRow(shown, 0, "10.0.0.1"), 2);
  EXPECT_EQ(TypeAheadRow(shown, 0, "02:"), 4);
  EXPECT_EQ(TypeAheadRow(shown, 0, "00:50:c2:10:00:f"), 3);
  // From the row after the current one, round the end.
  EXPECT_EQ(TypeAheadRow(shown, 3, "1"), 3);
  EXPECT_EQ(TypeAheadRow(shown, 4, "1"), 4);
  EXPECT_EQ(TypeAheadRow(shown, 4, "19"), 0);
  EXPECT_EQ(TypeAheadRow(shown, 1, "0"), 1);
  EXPECT_EQ(TypeAheadRow(shown, 99, "0.0"), 1) << "an unknown start starts at the top";
  EXPECT_EQ(TypeAheadRow(shown, 99, "0"), 0);
  EXPECT_EQ(TypeAheadRow(shown, 0, "7"), -1);
  EXPECT_EQ(TypeAheadRow(shown, 0, ""), -1);
  EXPECT_EQ(TypeAheadRow({}, 0, "1"), -1);
  // Not inside a text: that is the find field's.
  EXPECT_EQ(TypeAheadRow(shown, 0, "168"), -1);
}

}  // namespace
