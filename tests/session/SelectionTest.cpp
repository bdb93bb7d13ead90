// The decisions behind a command over several selected devices: the texts
// it shows, the files it names, the batch it follows, and where the network
// dialog starts.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "explorer/session/Selection.h"

namespace {

DeviceRecord Device(uint8_t last, uint32_t ipNet, uint32_t maskNet) {
  DeviceRecord r;
  const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x10, 0x00, last};
  r.setMac(mac);
  r.setKind(0);
  r.setIp(ipNet);
  r.setMask(maskNet);
  return r;
}

TEST(Selection, TextsOfABatch) {
  EXPECT_EQ(SameImageQuestion("/img/r2.pak", 4), "Use /img/r2.pak for the other 4 selected devices?");
  EXPECT_EQ(SameImageQuestion("r2.pak", 1), "Use r2.pak for the other 1 selected device?");
  EXPECT_EQ(BatchStatusText("Upgrading 00:50:C2:10:00:01", 2, 5), "Upgrading 00:50:C2:10:00:01 (2 of 5)");
  // One device is no batch; a device outside it has no place.
  EXPECT_EQ(BatchStatusText("Upgrading X", 1, 1), "Upgrading X");
  EXPECT_EQ(BatchStatusText("Upgrading X", 0, 3), "Upgrading X");

  const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x10, 0x00, 0x01};
  EXPECT_EQ(StoreFileInFolder("/tmp/cfg", mac), "/tmp/cfg/00-50-C2-10-00-01.txt");
  EXPECT_EQ(StoreFileInFolder("/tmp/cfg/", mac), "/tmp/cfg/00-50-C2-10-00-01.txt");
  EXPECT_EQ(FolderOf("/tmp/cfg/a.txt"), "/tmp/cfg");
  EXPECT_EQ(FolderOf("/a.txt"), "/");
  EXPECT_EQ(FolderOf("a.txt"), "");

  const std::vector<ConnectionTestLine> lines = {
      {"00:50:C2:10:00:01", true, true}, {"00:50:C2:10:00:02", true, false}, {"00:50:C2:10:00:03", false, false}};
  EXPECT_EQ(ConnectionTestSummary(lines),
            "00:50:C2:10:00:01: Network connection is OK\n"
            "00:50:C2:10:00:02: Network connection test failed\n"
            "00:50:C2:10:00:03: not tested (cancelled)");
  EXPECT_FALSE(AllConnectionsOk(lines));
  EXPECT_TRUE(AllConnectionsOk({lines[0]}));
}

TEST(Selection, ExitIsGuardedForHalfASecondAfterTheBusyDisplay) {
  EXPECT_TRUE(ExitGuarded(std::chrono::milliseconds(0)));
  EXPECT_TRUE(ExitGuarded(std::chrono::milliseconds(499)));
  EXPECT_FALSE(ExitGuarded(std::chrono::milliseconds(500)));
  EXPECT_FALSE(ExitGuarded(std::chrono::milliseconds(-1)));  // a clock that went back guards nothing
}

TEST(Selection, TheNetworkDialogStartsWithAMaskADeviceTakes) {
  const uint32_t mask8 = inet_addr("255.0.0.0"), mask22 = inet_addr("255.255.252.0");
  const DeviceRecord listed = Device(1, inet_addr("10.0.0.5"), mask8);
  const DeviceRecord bare = Device(2, 0, 0);
  EXPECT_EQ(StartingNetworkMask(listed, mask22), mask8);       // its own
  EXPECT_EQ(StartingNetworkMask(bare, mask22), mask22);        // its adapter's
  EXPECT_EQ(StartingNetworkMask(bare, 0), FALLBACK_NETWORK_MASK);
  EXPECT_EQ(StartingNetworkMask(bare, inet_addr("255.0.255.0")), FALLBACK_NETWORK_MASK);
  EXPECT_EQ(FALLBACK_NETWORK_MASK, inet_addr("255.255.255.0"));

  NetworkDialogData start = StartingNetworkEntry(bare, nullptr, 0);
  EXPECT_EQ(start.ip, 0u);
  EXPECT_EQ(start.mask, inet_addr("255.255.255.0"));
  NetworkDialogData typed{inet_addr("10.1.2.3"), mask22, "secret"};
  start = StartingNetworkEntry(listed, &typed, 0);
  EXPECT_EQ(start.ip, typed.ip);
  EXPECT_EQ(start.mask, mask22);
  EXPECT_EQ(start.password, "");
  EXPECT_EQ(AdapterMask(""), 0u);
  EXPECT_EQ(AdapterMask("no-such-interface0"), 0u);
}

TEST(Selection, ABatchKnowsItsPlacesAndWhatIsLeft) {
  // Stand-ins: the batch never looks behind the pointers.
  CQuillbox* a = reinterpret_cast<CQuillbox*>(0x10);
  CQuillbox* b = reinterpret_cast<CQuillbox*>(0x20);
  CQuillbox* c = reinterpret_cast<CQuillbox*>(0x30);
  DeviceBatch batch;
  EXPECT_FALSE(batch.Several());
  batch.Start(2, {a, b, c});
  EXPECT_TRUE(batch.Several());
  EXPECT_EQ(batch.Kind(), 2);
  EXPECT_EQ(batch.PositionOf(b), 2);
  EXPECT_EQ(batch.PositionOf(nullptr), 0);
  batch.Finished(a);
  batch.Finished(b);
  EXPECT_EQ(batch.Unfinished(), std::vector<CQuillbox*>{c});
  EXPECT_TRUE(batch.OthersUnfinished(b));
  EXPECT_FALSE(batch.OthersUnfinished(c));
  batch.Again(b);
  EXPECT_EQ(batch.Unfinished(), (std::vector<CQuillbox*>{b, c}));
  EXPECT_EQ(batch.Count(), 4) << "a run more";
  EXPECT_EQ(batch.PositionOf(b), 4) << "its second run reads (4 of 4), not (2 of 3) after the third";
  EXPECT_EQ(batch.PositionOf(c), 3);
  batch.Clear();
  EXPECT_EQ(batch.Count(), 0);
}

}  // namespace
