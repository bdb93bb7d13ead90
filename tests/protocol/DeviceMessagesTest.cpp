#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "explorer/protocol/DeviceMessages.h"

namespace {

std::vector<uint8_t> Reply(uint32_t status, uint32_t length, size_t total) {
  std::vector<uint8_t> out(total, 0xAB);
  DeviceMessageHeader h;
  h.version = 7;  // not examined
  h.status = status;
  h.operation = 99;  // not examined
  h.length = length;
  if (total >= 16) h.Encode(out.data());
  return out;
}

int32_t Validate(const std::vector<uint8_t>& d, uint32_t expected, bool timedOut = false,
                 int recvError = 0) {
  return ValidateReply(timedOut, recvError, d.data(), static_cast<long>(d.size()), expected);
}

}  // namespace

TEST(DeviceMessages, DiscoveryRequestIsTheSixteenDocumentedBytes) {
  const std::vector<uint8_t> req = BuildRequest(OP_DISCOVER, nullptr, 0);
  const std::vector<uint8_t> expected = {2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(req, expected);
}

TEST(DeviceMessages, HeaderIsLittleEndianWhateverTheHost) {
  DeviceMessageHeader h;
  h.version = 0x01020304;
  h.status = 0x1388;
  h.operation = 0xA0B0C0D0;
  h.length = 48;
  uint8_t b[16];
  h.Encode(b);
  EXPECT_EQ(b[0], 0x04);
  EXPECT_EQ(b[3], 0x01);
  EXPECT_EQ(b[4], 0x88);
  EXPECT_EQ(b[5], 0x13);
  EXPECT_EQ(b[8], 0xD0);
  EXPECT_EQ(b[11], 0xA0);
  EXPECT_EQ(b[12], 48);
  const DeviceMessageHeader back = DeviceMessageHeader::Decode(b);
  EXPECT_EQ(back.version, h.version);
  EXPECT_EQ(back.status, h.status);
  EXPECT_EQ(back.operation, h.operation);
  EXPECT_EQ(back.length, h.length);
}

TEST(DeviceMessages, RecordFieldsSitWhereTheDeviceSendsThem) {
  DeviceRecord r;
  const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x1A, 0x2B, 0xFF};
  r.setMac(mac);
  r.setKind(0x0031);
  r.setIp(inet_addr("192.168.1.20"));
  r.setMask(inet_addr("255.255.240.0"));
  const std::array<uint8_t, 16> wire = {0x00, 0x50, 0xC2, 0x1A, 0x2B, 0xFF, 0x31, 0x00,
                                        192,  168,  1,    20,   255,  255,  240,  0};
  EXPECT_EQ(r.bytes, wire);
  EXPECT_EQ(r.kind(), 0x31);
  EXPECT_EQ(FormatIp(r.ip()), "192.168.1.20");
  EXPECT_EQ(FormatIp(r.mask()), "255.255.240.0");
  EXPECT_EQ(FormatMac(r.mac()), "00:50:C2:1A:2B:FF");
  EXPECT_EQ(FormatIp(0), "0.0.0.0");
  EXPECT_EQ(FormatIp(0xFFFFFFFFu), "255.255.255.255");

  DeviceRecord other = r;
  EXPECT_TRUE(r.sameMac(other));
  other.setKind(2);
  other.setIp(0);
  EXPECT_TRUE(r.sameMac(other)) << "identity is the MAC alone";
  other.bytes[5] = 0xFE;
  EXPECT_FALSE(r.sameMac(other));
}

TEST(DeviceMessages, OnlyTheElevenKindsAreAccepted) {
  int accepted = 0;
  for (uint32_t k = 0; k <= 0xFFFF; ++k)
    if (IsAcceptedKind(static_cast<uint16_t>(k))) ++accepted;
  EXPECT_EQ(accepted, 11);
  for (uint16_t k : {0, 1, 2, 3, 4, 0x10, 0x11, 0x12, 0x13, 0x30, 0x31}) EXPECT_TRUE(IsAcceptedKind(k)) << k;
  for (uint16_t k : {5, 0x0F, 0x14, 0x2F, 0x32, 0x100, 0x3000}) EXPECT_FALSE(IsAcceptedKind(k)) << k;
}

TEST(DeviceMessages, SetNetworkRequestLayoutAndPasswordLimit) {
  SetNetworkRequest r;
  r.mac = {1, 2, 3, 4, 5, 6};
  r.kind = 0x0112;
  r.ip = inet_addr("10.1.2.3");
  r.mask = inet_addr("255.255.0.0");
  r.password = std::string(40, 'p');
  const auto wire = r.Encode();
  ASSERT_EQ(wire.size(), 48u);
  EXPECT_EQ(wire[0], 1);
  EXPECT_EQ(wire[5], 6);
  EXPECT_EQ(wire[6], 0x12);
  EXPECT_EQ(wire[7], 0x01);
  EXPECT_EQ(wire[8], 10);
  EXPECT_EQ(wire[11], 3);
  EXPECT_EQ(wire[12], 255);
  EXPECT_EQ(wire[15], 0);
  for (size_t i = 16; i < 47; ++i) EXPECT_EQ(wire[i], 'p') << i;
  EXPECT_EQ(wire[47], 0) << "the last password byte is always zero";

  const std::vector<uint8_t> message = BuildRequest(OP_SET_NETWORK, wire.data(), wire.size());
  ASSERT_EQ(message.size(), 64u);
  EXPECT_EQ(DeviceMessageHeader::Decode(message.data()).length, 48u);
  EXPECT_EQ(DeviceMessageHeader::Decode(message.data()).operation, OP_SET_NETWORK);

  const SetNetworkRequest back = SetNetworkRequest::Decode(wire.data());
  EXPECT_EQ(back.password, std::string(31, 'p'));
  EXPECT_EQ(back.mac, r.mac);
  EXPECT_EQ(back.kind, r.kind);
  EXPECT_EQ(back.ip, r.ip);
  EXPECT_EQ(back.mask, r.mask);

  r.password = "abc";
  const auto shortWire = r.Encode();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&shortWire[16]), 3), "abc");
  for (size_t i = 19; i < 48; ++i) EXPECT_EQ(shortWire[i], 0) << "padding at " << i;

  // A sender that fills all 32 bytes must not make the reader run off the field.
  std::array<uint8_t, 48> full{};
  std::fill(full.begin() + 16, full.end(), 'x');
  EXPECT_EQ(SetNetworkRequest::Decode(full.data()).password.size(), 31u);
}

TEST(ReplyValidation, AcceptsWellFormedRepliesOnly) {
  EXPECT_EQ(Validate(Reply(0, 16, 32), 16), 0);
  EXPECT_EQ(Validate(Reply(0, 0, 16), 0), 0);
  // The same discovery datagram where set-network expects no payload.
  EXPECT_EQ(Validate(Reply(0, 16, 32), 0), ERR_INVALID_BUFFER_SIZE);
  EXPECT_EQ(Validate(Reply(0, 16, 31), 16), ERR_INVALID_BUFFER_SIZE);
  EXPECT_EQ(Validate(Reply(0, 16, 33), 16), ERR_INVALID_BUFFER_SIZE);
  EXPECT_EQ(Validate(Reply(0, 17, 33), 16), ERR_INVALID_BUFFER_SIZE);
  EXPECT_EQ(Validate(Reply(0, 0, 15), 0), ERR_INVALID_BUFFER_SIZE);
  EXPECT_EQ(Validate(Reply(0, 0, 0), 0), ERR_INVALID_BUFFER_SIZE);
  // A length that would wrap a 32-bit sum must not pass for 16 + 16.
  EXPECT_EQ(Validate(Reply(0, 0xFFFFFFF0u + 16u, 32), 16), ERR_INVALID_BUFFER_SIZE);
}

TEST(ReplyValidation, RulesApplyInOrder) {
  // 1: an ended wait wins over everything, even a perfect reply.
  EXPECT_EQ(Validate(Reply(0, 16, 32), 16, true), ERR_RECEIVE_TIMEOUT);
  EXPECT_EQ(Validate(Reply(5000, 0, 16), 0, true, EMSGSIZE), ERR_RECEIVE_TIMEOUT);
  // 2: a failed receive gives the platform error, whatever the buffer holds.
  EXPECT_EQ(Validate(Reply(5000, 0, 16), 0, false, EMSGSIZE), EMSGSIZE);
  // 3: too short for a header beats a status we cannot read anyway.
  EXPECT_EQ(Validate(Reply(0, 0, 12), 0), ERR_INVALID_BUFFER_SIZE);
  // 4: the device's status comes before any length check.
  EXPECT_EQ(Validate(Reply(5000, 0, 16), 16), 5000);
  EXPECT_EQ(Validate(Reply(5000, 300, 20), 0), 5000);
  EXPECT_EQ(Validate(Reply(ERR_INVALID_PHYSICAL_ADDRESS, 0, 16), 0), ERR_INVALID_PHYSICAL_ADDRESS);
  // A status with the sign bit set travels on as the same 32 bits.
  EXPECT_EQ(Validate(Reply(0xFFFFFFFEu, 0, 16), 0), -2);
}
