// Row building and the pass logic of the scan, without a window or network.
#include <gtest/gtest.h>

#include <optional>

#include "explorer/protocol/ConnectionTest.h"
#include "explorer/protocol/Scan.h"
#include "scan_test_support.h"

using scantest::Ip;
using scantest::Record;

namespace {

std::vector<const DeviceRecord*> View(const std::vector<std::unique_ptr<DeviceRecord>>& records) {
  std::vector<const DeviceRecord*> v;
  for (const auto& r : records) v.push_back(r.get());
  return v;
}

TEST(ScanRows, OrderIsNumericByAddressAndStableAmongEqualOnes) {
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  recs.push_back(Record(1, 0, "192.168.0.20"));
  recs.push_back(Record(2, 0, "10.1.1.1"));
  recs.push_back(Record(3, 0, "192.168.0.3"));
  recs.push_back(Record(4, 0, "192.168.0.3"));  // same address: after the first one
  recs.push_back(Record(5, 0, "0.0.0.0"));
  recs.push_back(Record(6, 0, "9.255.255.255"));  // byte order: 9.x below 10.x
  EXPECT_EQ(RowOrder(View(recs)), (std::vector<size_t>{4, 5, 1, 2, 3, 0}));

  // Empty slots (records handed on elsewhere) are skipped, not dereferenced.
  std::vector<const DeviceRecord*> holes = {nullptr, recs[0].get(), nullptr, recs[1].get()};
  EXPECT_EQ(RowOrder(holes), (std::vector<size_t>{3, 1}));
}

TEST(ScanRows, DuplicateMarksAndImages) {
  std::vector<std::unique_ptr<DeviceRecord>> recs;
  recs.push_back(Record(1, 0, "192.168.0.5"));
  recs.push_back(Record(2, 0, "192.168.0.5"));
  recs.push_back(Record(3, 0, "0.0.0.0"));
  recs.push_back(Record(4, 0, "10.0.0.1"));
  const auto view = View(recs);
  EXPECT_EQ(DuplicateIpFlags(view), (std::vector<bool>{true, true, false, false}));
  EXPECT_TRUE(IsDuplicateIp(view, Ip("192.168.0.5")));
  EXPECT_FALSE(IsDuplicateIp(view, Ip("10.0.0.1")));  // the record itself counts once
  EXPECT_FALSE(IsDuplicateIp(view, Ip("0.0.0.0")));

  RowContent dup = BuildRowContent(*recs[0], true);
  EXPECT_EQ(dup.macText, "00:50:C2:00:00:01");
  EXPECT_EQ(dup.ipText, "192.168.0.5 (duplicate IP)");
  EXPECT_EQ(dup.image, IMAGE_CROSS);
  RowContent zero = BuildRowContent(*recs[2], false);
  EXPECT_EQ(zero.ipText, "0.0.0.0");
  EXPECT_EQ(zero.image, IMAGE_CROSS);
  RowContent good = BuildRowContent(*recs[3], false);
  EXPECT_EQ(good.ipText, "10.0.0.1");
  EXPECT_EQ(good.image, IMAGE_TICK);

  // Two devices without an address are a duplicate as well.
  recs.push_back(Record(5, 0, "0.0.0.0"));
  EXPECT_EQ(DuplicateIpFlags(View(recs))[2], true);
  EXPECT_EQ(BuildRowContent(*recs[4], true).ipText, "0.0.0.0 (duplicate IP)");
}

// A scripted series of pass results; each pass leaves `found` records.
struct Passes {
  std::vector<std::pair<int32_t, int>> script;  // result, records left
  int cancelAfter = -1;                          // busy cleared after this many passes
  int sendFailsAt = -1;                          // this pass could not send its request
  int run = 0;

  ScanHooks Hooks() {
    ScanHooks h;
    h.stillBusy = [this] { return cancelAfter < 0 || run < cancelAfter; };
    h.discover = [this](DeviceRecordArray& records, int& count) {
      // Every pass must start from an empty array.
      for (const auto& r : records) EXPECT_EQ(r, nullptr);
      const auto [result, found] = script.at(run++);
      for (int i = 0; i < found; ++i) records[i] = Record(static_cast<uint8_t>(i + 1), 0, "10.0.0.1");
      count = found;
      return result;
    };
    h.failedLocally = [this] { return run - 1 == sendFailsAt; };
    return h;
  }
};

TEST(ScanPasses, OnlyTheLastPassIsListedAndFailuresAndCancelDecideTheBox) {
  // Fields left empty are not looked at for that case.
  const struct {
    const char* what;
    std::vector<std::pair<int32_t, int>> script;  // per pass: result, records left
    int cancelAfter;
    int sendFailsAt;
    std::optional<int> passes;
    bool fill;
    std::optional<int> count;
    std::optional<int32_t> firstError;
    bool networkingFailed;
    const char* box;
  } cases[] = {
      {"a device answering the first pass only: nothing listed",
       {{0, 1}, {5, 0}, {5, 0}}, -1, -1, 3, false, 0, {}, false, "No Osprey Panels found"},
      {"devices in every pass: listed, no box", {{0, 2}, {0, 3}, {0, 2}}, -1, -1, {}, true, 2, {}, false, ""},
      {"an early timeout followed by answers: listed, and no \"No Error\" box",
       {{5, 0}, {5, 0}, {0, 1}}, -1, -1, {}, true, {}, {}, false, ""},
      {"a malformed first answer, then silence: the last pass's text",
       {{4, 0}, {5, 0}, {5, 0}}, -1, -1, {}, false, {}, 4, false, "Receive timeout"},
      {"a device refusing (status 5000) in the last pass",
       {{0, 1}, {0, 1}, {5000, 0}}, -1, -1, {}, false, {}, {}, false, "Invalid password"},
      {"networking fails: the scan ends at the failing pass",
       {{0, 2}, {-1, 0}, {0, 2}}, -1, 1, 2, false, 0, {}, true, "Cannot initialize networking"},
      {"a device answering with status 0xFFFFFFFF is no networking failure",
       {{-1, 0}, {-1, 0}, {-1, 0}}, -1, -1, 3, false, 0, -1, false, "Unknown error"},
      {"cancelled after a pass that found devices: nothing listed, no box",
       {{0, 2}, {0, 2}, {0, 2}}, 1, -1, 1, false, {}, {}, false, ""},
      {"cancelled while nobody had answered", {{5, 0}, {0, 2}, {0, 2}}, 1, -1, {}, false, {}, {}, false,
       "No Osprey Panels found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Passes p{c.script, c.cancelAfter, c.sendFailsAt};
    DeviceRecordArray records;
    int count = 0;
    const ScanOutcome o = RunScanPasses(p.Hooks(), records, count);
    if (c.passes) { EXPECT_EQ(o.passes, *c.passes); }
    EXPECT_EQ(o.fill, c.fill);
    if (c.count) { EXPECT_EQ(count, *c.count); }
    if (c.firstError) { EXPECT_EQ(o.firstError, *c.firstError); }
    EXPECT_EQ(o.networkingFailed, c.networkingFailed);
    // After a networking failure no record is kept.
    if (c.networkingFailed) { EXPECT_EQ(records[0], nullptr); }
    EXPECT_EQ(ScanFailureText(o, "Osprey Panel"), c.box);
    // The command line decides its exit status on the verdict, not the text.
    EXPECT_EQ(VerdictOf(o) == ScanVerdict::Listed, std::string(c.box).empty());
    EXPECT_EQ(VerdictOf(o) == ScanVerdict::NoDevices, std::string(c.box) == "No Osprey Panels found");
  }
}

TEST(ConnectionRules, PortByKindAndNoProbeForUnusableAddresses) {
  std::vector<std::pair<uint32_t, uint16_t>> probes;
  auto probe = [&](uint32_t ip, uint16_t port) {
    probes.emplace_back(ip, port);
    return true;
  };
  for (uint16_t kind : {0, 1, 2, 3, 4, 16, 17, 18, 19, 48, 49}) {
    probes.clear();
    EXPECT_TRUE(CheckReachable(*Record(1, kind, "10.0.0.7"), false, probe));
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_EQ(probes[0].first, Ip("10.0.0.7"));
    EXPECT_EQ(probes[0].second, (kind == 48 || kind == 49) ? 23 : 80) << "kind " << kind;
  }
  probes.clear();
  EXPECT_FALSE(CheckReachable(*Record(1, 1, "10.0.0.7"), true, probe));
  EXPECT_FALSE(CheckReachable(*Record(1, 1, "0.0.0.0"), false, probe));
  EXPECT_TRUE(probes.empty());  // neither was probed

  EXPECT_EQ(ConnectionTestStatusText(*Record(0x0F, 1, "10.0.0.5")), "Testing connection to 00:50:C2:00:00:0F");
}

}  // namespace
