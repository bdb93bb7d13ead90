// The device list as the window fills it: rows from the scan's records, the
// window's ownership of the device objects, and the refresh that keeps them.
#include <gtest/gtest.h>

#include <set>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/Scan.h"
#include "explorer/protocol/ui/DeviceListView.h"
#include "scan_test_support.h"

using scantest::Ip;
using scantest::MacText;
using scantest::Record;

namespace {

std::vector<std::string> Column(const CDeviceListView& list, int column) {
  std::vector<std::string> out;
  for (int i = 0; i < list.topLevelItemCount(); ++i)
    out.push_back(list.topLevelItem(i)->text(column).toStdString());
  return out;
}

class DeviceListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::App();
    records = std::make_unique<DeviceRecordArray>();
  }
  void Fill(std::vector<std::unique_ptr<DeviceRecord>> recs) {
    count = 0;
    for (auto& r : recs) (*records)[count++] = std::move(r);
    dlg.FillDevices(*records, count);
  }
  std::unique_ptr<DeviceRecordArray> records;
  int count = 0;
  scantest::ScriptedUi ui;
  CExplorerDlg dlg{ui};
  CDeviceListView& list = dlg.DeviceList();
};

TEST_F(DeviceListTest, RowsAreSortedMarkedAndOwnTheirRecords) {
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  recs.push_back(Record(1, 0, "192.168.0.20"));
  recs.push_back(Record(2, 1, "10.1.1.1"));
  recs.push_back(Record(3, 16, "192.168.0.3"));
  recs.push_back(Record(4, 0, "192.168.0.5"));
  recs.push_back(Record(5, 0, "192.168.0.5"));
  recs.push_back(Record(6, 0, "0.0.0.0"));
  Fill(std::move(recs));

  EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"0.0.0.0", "10.1.1.1", "192.168.0.3",
                                                       "192.168.0.5 (duplicate IP)",
                                                       "192.168.0.5 (duplicate IP)", "192.168.0.20"}));
  EXPECT_EQ(Column(list, 0), (std::vector<std::string>{MacText(6), MacText(2), MacText(3), MacText(4),
                                                       MacText(5), MacText(1)}));
  // Every row has its own object, which holds the record; the array slots
  // are empty now (nothing is owned twice).
  for (int i = 0; i < count; ++i) EXPECT_EQ((*records)[i], nullptr);
  std::set<CQuillbox*> seen;
  for (int i = 0; i < list.topLevelItemCount(); ++i) {
    CQuillbox* q = dlg.DeviceAt(i);
    ASSERT_NE(q, nullptr);
    ASSERT_NE(q->record, nullptr);
    EXPECT_EQ(FormatMac(q->record->mac()), list.topLevelItem(i)->text(0).toStdString());
    seen.insert(q);
  }
  EXPECT_EQ(seen.size(), 6u);
  EXPECT_TRUE(dlg.Devices().IsDuplicateIp(Ip("192.168.0.5")));
  EXPECT_FALSE(dlg.Devices().IsDuplicateIp(Ip("10.1.1.1")));
  // No row is selected after a fill.
  EXPECT_EQ(dlg.SelectedDevice(), nullptr);
  // The cross for 0.0.0.0 and duplicates, the tick otherwise: compare icons
  // by their rendered pixels.
  const auto image = [&](int row) { return list.topLevelItem(row)->icon(0).pixmap(16, 13).toImage(); };
  EXPECT_EQ(image(0), image(3));
  EXPECT_EQ(image(1), image(2));
  EXPECT_NE(image(0), image(1));

  dlg.ClearDevices();
  EXPECT_EQ(list.topLevelItemCount(), 0);
  EXPECT_FALSE(dlg.Devices().IsDuplicateIp(Ip("192.168.0.5")));
}

TEST_F(DeviceListTest, RefreshKeepsObjectsSelectionAndMovesTheChangedRow) {
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  recs.push_back(Record(1, 0, "10.0.0.1"));
  recs.push_back(Record(2, 0, "10.0.0.2"));
  recs.push_back(Record(3, 0, "10.0.0.3"));
  Fill(std::move(recs));
  CQuillbox* first = dlg.DeviceAt(0);
  first->password = "typed once";
  dlg.SelectDevice(first);
  ASSERT_EQ(dlg.SelectedDevice(), first);

  // The first device moves behind the others, then onto the third's address.
  first->record->setIp(Ip("10.0.0.9"));
  dlg.RefreshDevices();
  EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"10.0.0.2", "10.0.0.3", "10.0.0.9"}));
  EXPECT_EQ(dlg.DeviceAt(2), first);
  EXPECT_EQ(dlg.SelectedDevice(), first);
  EXPECT_EQ(first->password, "typed once");

  first->record->setIp(Ip("10.0.0.3"));
  dlg.RefreshDevices();
  EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"10.0.0.2", "10.0.0.3 (duplicate IP)",
                                                       "10.0.0.3 (duplicate IP)"}));
  // Among equal addresses the order of answering stays: device 1 first.
  EXPECT_EQ(dlg.DeviceAt(1), first);
  EXPECT_TRUE(dlg.Devices().Contains(first));
}

TEST_F(DeviceListTest, RefreshSortsEvenWhenRowByRowInsertionWouldNot) {
  // Moving rows one at a time to "the first greater row" leaves this list
  // as 10.0.0.2, 10.0.0.6, 10.0.0.4; the refresh must sort it.
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  recs.push_back(Record(1, 0, "10.0.0.4"));
  recs.push_back(Record(2, 0, "10.0.0.6"));
  recs.push_back(Record(3, 0, "10.0.0.1"));
  Fill(std::move(recs));
  CQuillbox* third = dlg.DeviceAt(0);
  third->record->setIp(Ip("10.0.0.2"));
  dlg.RefreshDevices();
  EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"10.0.0.2", "10.0.0.4", "10.0.0.6"}));
}

TEST_F(DeviceListTest, FillingAgainKeepsTheObjectOfADeviceWithARow) {
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  recs.push_back(Record(1, 0, "10.0.0.1"));
  recs.push_back(Record(2, 0, "10.0.0.2"));
  Fill(std::move(recs));
  CQuillbox* kept = dlg.DeviceAt(1);
  kept->password = "cached";
  dlg.SelectDevice(kept);

  // The same device answers again with a new address, and a new one joins;
  // a repeated answer within the array does not add a row.
  std::vector<std::unique_ptr<DeviceRecord>> again;
  again.push_back(Record(2, 0, "10.0.0.0"));
  again.push_back(Record(7, 0, "10.0.0.7"));
  again.push_back(Record(7, 0, "10.0.0.8"));
  Fill(std::move(again));
  EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"10.0.0.0", "10.0.0.1", "10.0.0.8"}));
  EXPECT_EQ(dlg.DeviceAt(0), kept);
  EXPECT_EQ(kept->password, "cached");
  EXPECT_EQ(kept->record->ip(), Ip("10.0.0.0"));
  // The fill renumbered the devices; the selection stays on the device.
  EXPECT_EQ(dlg.SelectedDevice(), kept);
  EXPECT_EQ(dlg.Devices().Size(), 3);
}

TEST_F(DeviceListTest, FourThousandDevicesFill) {
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  for (int i = 0; i < MAX_DEVICES; ++i) {
    auto r = std::make_unique<DeviceRecord>();
    const uint8_t mac[6] = {0x02, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    r->setMac(mac);
    r->setKind(1);
    // Descending addresses, so every row has to be placed.
    r->setIp(htonl(0x0A000000u + static_cast<uint32_t>(MAX_DEVICES - i)));
    recs.push_back(std::move(r));
  }
  Fill(std::move(recs));
  ASSERT_EQ(list.topLevelItemCount(), MAX_DEVICES);
  EXPECT_EQ(list.topLevelItem(0)->text(1).toStdString(), "10.0.0.1");
  EXPECT_EQ(list.topLevelItem(MAX_DEVICES - 1)->text(1).toStdString(), "10.0.16.0");
}

}  // namespace
