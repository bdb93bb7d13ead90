#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "tools/devicesim/DeviceTable.h"

namespace {
uint32_t Ip(const char* t) { return inet_addr(t); }
}  // namespace

TEST(DeviceLine, ParsesFieldsAndOptions) {
  std::string error;
  auto d = ParseDeviceLine(
      "00:50:c2:0A:0b:FF 0x31 192.168.1.20 255.255.255.0 secret twice late=250 size=31 "
      "status=5000 quiet-others config=hello",
      &error);
  ASSERT_TRUE(d) << error;
  EXPECT_EQ(d->mac, (std::array<uint8_t, 6>{0x00, 0x50, 0xC2, 0x0A, 0x0B, 0xFF}));
  EXPECT_EQ(d->kind, 0x31);
  EXPECT_EQ(d->ip, Ip("192.168.1.20"));
  EXPECT_EQ(d->mask, Ip("255.255.255.0"));
  EXPECT_EQ(d->password, "secret");
  EXPECT_TRUE(d->twice);
  EXPECT_EQ(d->lateMs, 250);
  EXPECT_EQ(d->size, 31);
  EXPECT_EQ(d->status, 5000u);
  EXPECT_TRUE(d->quietOthers);
  EXPECT_FALSE(d->silent);
  EXPECT_EQ(d->extra.at("config"), "hello");

  EXPECT_FALSE(d->broadcast);

  d = ParseDeviceLine("00-50-C2-00-00-01 5 0.0.0.0 0.0.0.0 - short broadcast", &error);
  ASSERT_TRUE(d) << error;
  EXPECT_EQ(d->password, "") << "'-' stands for an empty password";
  EXPECT_EQ(d->size, 12);
  EXPECT_TRUE(d->broadcast);
  EXPECT_EQ(d->kind, 5);
}

TEST(DeviceLine, RejectsWhatItCannotPlay) {
  const char* bad[] = {
      "",
      "00:50:C2:00:00:01 0 127.0.0.1 255.0.0.0",              // no password
      "00:50:C2:00:00 0 127.0.0.1 255.0.0.0 admin",           // short MAC
      "00:50:C2:00:00:01:02 0 127.0.0.1 255.0.0.0 admin",     // long MAC
      "00:50:C2:00:00:0G 0 127.0.0.1 255.0.0.0 admin",        // not hex
      "00:50:C2:00:00:01 70000 127.0.0.1 255.0.0.0 admin",    // kind beyond 16 bits
      "00:50:C2:00:00:01 -1 127.0.0.1 255.0.0.0 admin",
      "00:50:C2:00:00:01 0 127.0.0.256 255.0.0.0 admin",
      "00:50:C2:00:00:01 0 127.0.0.1 mask admin",
      "00:50:C2:00:00:01 0 127.0.0.1 255.0.0.0 admin late=soon",
      "00:50:C2:00:00:01 0 127.0.0.1 255.0.0.0 admin wobble",
  };
  for (const char* line : bad) {
    std::string error;
    EXPECT_FALSE(ParseDeviceLine(line, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

TEST(DeviceLine, UsableAddressesAndMasks) {
  EXPECT_EQ(CheckNetworkParameters(Ip("10.1.2.3"), Ip("255.255.255.0")), 0);
  EXPECT_EQ(CheckNetworkParameters(Ip("10.1.2.3"), Ip("128.0.0.0")), 0);
  EXPECT_EQ(CheckNetworkParameters(Ip("10.1.2.3"), Ip("255.255.255.252")), 0);
  EXPECT_EQ(CheckNetworkParameters(Ip("0.0.0.0"), Ip("255.255.255.0")), 5002);
  EXPECT_EQ(CheckNetworkParameters(Ip("255.255.255.255"), Ip("255.255.255.0")), 5002);
  EXPECT_EQ(CheckNetworkParameters(Ip("10.1.2.3"), Ip("0.0.0.0")), 5003);
  EXPECT_EQ(CheckNetworkParameters(Ip("10.1.2.3"), Ip("255.255.255.255")), 5003);
  EXPECT_EQ(CheckNetworkParameters(Ip("10.1.2.3"), Ip("255.0.255.0")), 5003);
  EXPECT_EQ(CheckNetworkParameters(Ip("10.1.2.3"), Ip("0.255.255.255")), 5003);
  // The address is judged before the mask.
  EXPECT_EQ(CheckNetworkParameters(Ip("0.0.0.0"), Ip("255.0.255.0")), 5002);
}

TEST(DeviceLine, TakesWhatIsSentToEverybodyToItselfOrToItsSubnet) {
  Device d;
  d.ip = Ip("10.30.0.5");
  d.mask = Ip("255.255.255.0");
  EXPECT_TRUE(AddressedTo(d, Ip("255.255.255.255")));
  EXPECT_TRUE(AddressedTo(d, Ip("10.30.0.5")));
  EXPECT_TRUE(AddressedTo(d, Ip("10.30.0.255")));
  EXPECT_FALSE(AddressedTo(d, Ip("10.30.0.6"))) << "another device's address";
  EXPECT_FALSE(AddressedTo(d, Ip("10.30.255.255"))) << "a wider subnet's broadcast";
  EXPECT_FALSE(AddressedTo(d, Ip("10.40.0.255")));
  d.mask = Ip("255.255.0.0");
  EXPECT_TRUE(AddressedTo(d, Ip("10.30.255.255")));
  EXPECT_FALSE(AddressedTo(d, Ip("10.30.0.255"))) << "with its wider mask that is another host";
  Device none;  // no address yet
  EXPECT_TRUE(AddressedTo(none, Ip("255.255.255.255")));
  EXPECT_FALSE(AddressedTo(none, Ip("0.0.0.0")));
  EXPECT_FALSE(AddressedTo(none, Ip("10.30.0.255")));
}

TEST(DeviceTableAccess, MovesOneDeviceAndFindsItByItsNewAddress) {
  DeviceTable table;
  std::string error;
  table.Add(*ParseDeviceLine("00:50:C2:00:00:01 0 127.0.0.11 255.0.0.0 admin", &error));
  table.Add(*ParseDeviceLine("00:50:C2:00:00:02 0 127.0.0.12 255.0.0.0 admin", &error));
  table.SetAddress(1, Ip("127.0.0.99"), Ip("255.255.0.0"));
  table.SetAddress(7, Ip("127.0.0.98"), Ip("255.255.0.0"));  // no such device: ignored
  EXPECT_FALSE(table.FindByIp(Ip("127.0.0.12")));
  const auto moved = table.FindByIp(Ip("127.0.0.99"));
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->mac[5], 2);
  EXPECT_EQ(moved->mask, Ip("255.255.0.0"));
  const uint8_t mac1[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x01};
  ASSERT_TRUE(table.FindByMac(mac1));
  EXPECT_EQ(table.FindByMac(mac1)->ip, Ip("127.0.0.11"));
  EXPECT_EQ(table.Size(), 2u);
}
