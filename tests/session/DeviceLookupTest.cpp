// Finding the device a user's DEVICE names, and the session's password
// after a refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "explorer/operations/Quillbox.h"
#include "explorer/res/Strings.h"
#include "explorer/session/DeviceLookup.h"
#include "explorer/session/Passwords.h"

namespace {

DeviceRecord Device(uint8_t last, uint32_t ip) {
  DeviceRecord r;
  const uint8_t mac[6] = {0x00, 0x20, 0x4A, 0x01, 0x02, last};
  r.setMac(mac);
  r.setIp(ip);
  return r;
}

DeviceLookup Find(const std::vector<DeviceRecord>& devices, const std::string& text) {
  std::vector<const DeviceRecord*> records;
  for (const DeviceRecord& d : devices) records.push_back(&d);
  const std::optional<DeviceSpec> spec = ParseDeviceSpec(text);
  EXPECT_TRUE(spec) << text;
  return spec ? FindDevice(records, *spec) : DeviceLookup{};
}

TEST(DeviceLookup, NamesOneDeviceByEthernetAddressOrByAnAddressOnlyItUses) {
  // 10.0.0.1 twice, 10.0.0.3 once.
  const std::vector<DeviceRecord> devices = {Device(1, 0x0100000Au), Device(2, 0x0100000Au),
                                             Device(3, 0x0300000Au)};
  // Either separator, either case.
  for (const char* text : {"00:20:4A:01:02:02", "00-20-4a-01-02-02"}) {
    const DeviceLookup found = Find(devices, text);
    EXPECT_EQ(found.result, LookupResult::Found) << text;
    EXPECT_EQ(found.index, 1u) << text;
    EXPECT_EQ(found.text, "") << text;
  }
  EXPECT_EQ(Find(devices, "10.0.0.3").index, 2u);

  const std::string device = LoadBrandString(IDS_DEVICE_NAME);
  const DeviceLookup shared = Find(devices, "10.0.0.1");
  EXPECT_EQ(shared.result, LookupResult::SeveralAnswer);
  EXPECT_EQ(shared.matches, 2u);
  EXPECT_EQ(shared.text, "2 " + device + "s answer at 10.0.0.1 (duplicate IP); name the device by its Ethernet address");
  const DeviceLookup none = Find(devices, "00:20:4A:01:02:09");
  EXPECT_EQ(none.result, LookupResult::NoneAnswers);
  EXPECT_EQ(none.text, "No " + device + " answers at 00:20:4A:01:02:09");

  // Neither address: mixed separators, a digit short, a non-hex digit, no IPv4.
  for (const char* text : {"00:20-4A:01:02:02", "00:20:4A:01:02:0", "00:20:4A:01:02:0g", "10.0.0", ""})
    EXPECT_FALSE(ParseDeviceSpec(text)) << text;
}

TEST(SessionPasswords, ARefusedPasswordIsReplacedOnlyByOneTyped) {
  EXPECT_EQ(SessionPassword(std::nullopt), LoadBrandString(IDS_DEFAULT_PASSWORD));
  EXPECT_EQ(SessionPassword(std::string("")), "");  // an empty password is a password
  CQuillbox q;
  EXPECT_EQ(q.password, SessionPassword(std::nullopt));
  EXPECT_FALSE(ReplaceRefusedPassword(q, std::nullopt));
  EXPECT_EQ(q.password, LoadBrandString(IDS_DEFAULT_PASSWORD));
  EXPECT_TRUE(ReplaceRefusedPassword(q, std::string("secret")));
  EXPECT_EQ(q.password, "secret");
}

}  // namespace
