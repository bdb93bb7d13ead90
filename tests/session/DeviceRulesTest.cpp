// Which actions each kind of device allows, and the reasons given when not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "explorer/protocol/DeviceKinds.h"
#include "explorer/session/DeviceRules.h"

namespace {

DeviceRecord Device(uint16_t kind, uint32_t ip) {
  DeviceRecord r;
  const uint8_t mac[6] = {0x00, 0x20, 0x4A, 0x01, 0x02, 0x03};
  r.setMac(mac);
  r.setKind(kind);
  r.setIp(ip);
  return r;
}

constexpr uint32_t kAddress = 0x0100000Au;  // 10.0.0.1

struct Row {
  const char* what;
  uint16_t kind;
  uint32_t ip;
  DeviceAction action;
  Refusal refusal;
  const char* reason;
};

TEST(DeviceRules, EachKindAndAddressAllowsItsActionsAndNamesWhyNot) {
  const std::vector<Row> rows = {
      {"ordinary device, every action", 2, kAddress, DeviceAction::WebConfiguration, Refusal::None, ""},
      {"", 2, kAddress, DeviceAction::GetConfiguration, Refusal::None, ""},
      {"", 2, kAddress, DeviceAction::SetConfiguration, Refusal::None, ""},
      {"", 2, kAddress, DeviceAction::UpgradeFirmware, Refusal::None, ""},
      {"", 2, kAddress, DeviceAction::TestConnection, Refusal::None, ""},
      {"", 2, kAddress, DeviceAction::SetIpAddress, Refusal::None, ""},
      // Without an address only Set IP address reaches it, whatever its kind.
      {"no address", 2, 0, DeviceAction::WebConfiguration, Refusal::NoAddress, "no IP address"},
      {"", 2, 0, DeviceAction::GetConfiguration, Refusal::NoAddress, "no IP address"},
      {"", 2, 0, DeviceAction::UpgradeFirmware, Refusal::NoAddress, "no IP address"},
      {"", 2, 0, DeviceAction::TestConnection, Refusal::NoAddress, "no IP address"},
      {"", KIND_TELNET_A, 0, DeviceAction::GetConfiguration, Refusal::NoAddress, "no IP address"},
      {"", KIND_TELNET_A, 0, DeviceAction::SetIpAddress, Refusal::None, ""},
      // A firmware without upgrade still transfers its configuration.
      {"no upgrade", KIND_NO_UPGRADE_A, kAddress, DeviceAction::UpgradeFirmware,
       Refusal::NoFirmwareUpgrade, "kind 16 has no firmware upgrade"},
      {"", KIND_NO_UPGRADE_B, kAddress, DeviceAction::UpgradeFirmware, Refusal::NoFirmwareUpgrade,
       "kind 18 has no firmware upgrade"},
      {"", KIND_NO_UPGRADE_A, kAddress, DeviceAction::GetConfiguration, Refusal::None, ""},
      // A telnet device has neither transfer nor an FTP server, but a
      // configuration and a connection to test.
      {"telnet", KIND_TELNET_A, kAddress, DeviceAction::GetConfiguration,
       Refusal::NoConfigurationTransfer, "kind 48 has no configuration transfer"},
      {"", KIND_TELNET_B, kAddress, DeviceAction::SetConfiguration, Refusal::NoConfigurationTransfer,
       "kind 49 has no configuration transfer"},
      {"", KIND_TELNET_B, kAddress, DeviceAction::UpgradeFirmware, Refusal::NoFtpServer,
       "kind 49 has no firmware upgrade"},
      {"", KIND_TELNET_A, kAddress, DeviceAction::WebConfiguration, Refusal::None, ""},
      {"", KIND_TELNET_A, kAddress, DeviceAction::TestConnection, Refusal::None, ""},
  };
  std::string group;
  for (const Row& row : rows) {
    if (*row.what) group = row.what;
    const DeviceRecord device = Device(row.kind, row.ip);
    SCOPED_TRACE(group + ", kind " + std::to_string(row.kind) + ", action " +
                 std::to_string(static_cast<int>(row.action)));
    const Refusal refusal = RefusalOf(device, row.action);
    EXPECT_EQ(refusal, row.refusal);
    EXPECT_EQ(Allows(device, row.action), row.refusal == Refusal::None);
    EXPECT_EQ(RefusalReason(device, refusal), row.reason);
  }
}

TEST(DeviceRules, OnlyTelnetDevicesAreConfiguredOverTelnet) {
  EXPECT_TRUE(ConfiguresOverTelnet(Device(KIND_TELNET_A, kAddress)));
  EXPECT_TRUE(ConfiguresOverTelnet(Device(KIND_TELNET_B, 0)));
  EXPECT_FALSE(ConfiguresOverTelnet(Device(KIND_NO_UPGRADE_A, kAddress)));
  EXPECT_FALSE(ConfiguresOverTelnet(Device(2, kAddress)));
}

}  // namespace
