// The simulator's device-side codec against the same hand-typed datagrams
// as the explorer's tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/WireGolden.h"
#include "tools/devicesim/DeviceCodec.h"

namespace wire = devicewire;

namespace {

template <size_t N>
std::vector<uint8_t> Bytes(const std::array<uint8_t, N>& a) {
  return {a.begin(), a.end()};
}

}  // namespace

TEST(DeviceCodec, ListensOnPort8375) { EXPECT_EQ(wire::DEVICE_PORT, golden::DEVICE_PORT); }

TEST(DeviceCodec, ReadsTheDiscoveryRequest) {
  const auto& request = golden::DISCOVERY_REQUEST;
  const auto header = wire::ReadHeader(request.data(), request.size());
  ASSERT_TRUE(header);
  EXPECT_EQ(header->version, 2u);
  EXPECT_EQ(header->status, 0u);
  EXPECT_EQ(header->operation, wire::OP_DISCOVER);
  EXPECT_EQ(header->length, 0u);
  EXPECT_FALSE(wire::ReadHeader(request.data(), request.size() - 1)) << "15 bytes hold no header";
}

TEST(DeviceCodec, AnswersDiscoveryWithTheDocumentedBytes) {
  const auto header = wire::ReadHeader(golden::DISCOVERY_REQUEST.data(), 16);
  ASSERT_TRUE(header);
  const wire::Record record{golden::REPLY_MAC, golden::REPLY_KIND, inet_addr(golden::REPLY_IP),
                            inet_addr(golden::REPLY_MASK)};
  EXPECT_EQ(wire::DiscoveryAnswer(*header, wire::STATUS_OK, record), Bytes(golden::DISCOVERY_REPLY));
}

TEST(DeviceCodec, StatusAnswerIsABareHeaderEchoingTheRequest) {
  wire::Header request;
  request.version = 7;
  request.operation = 0x01020304;
  const std::vector<uint8_t> expected = {0x07, 0x00, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00,
                                         0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(wire::StatusAnswer(request, wire::STATUS_INVALID_PASSWORD), expected);
}

TEST(DeviceCodec, ReadsTheSetNetworkRequest) {
  const auto& bytes = golden::SET_NETWORK_REQUEST;
  const auto set = wire::ReadSetNetwork(bytes.data(), bytes.size());
  ASSERT_TRUE(set);
  EXPECT_EQ(set->target.mac, golden::SET_MAC);
  EXPECT_EQ(set->target.kind, golden::SET_KIND);
  EXPECT_EQ(set->target.ip, inet_addr(golden::SET_IP));
  EXPECT_EQ(set->target.mask, inet_addr(golden::SET_MASK));
  EXPECT_EQ(set->password, golden::SET_PASSWORD);
}

TEST(DeviceCodec, SetNetworkRequestMustBeExactlySixtyFourBytes) {
  std::vector<uint8_t> bytes = Bytes(golden::SET_NETWORK_REQUEST);
  EXPECT_FALSE(wire::ReadSetNetwork(bytes.data(), bytes.size() - 1)) << "one byte short";
  bytes.push_back(0);
  EXPECT_FALSE(wire::ReadSetNetwork(bytes.data(), bytes.size())) << "one byte over";
  bytes.pop_back();
  bytes[wire::LENGTH_AT] = 47;
  EXPECT_FALSE(wire::ReadSetNetwork(bytes.data(), bytes.size())) << "length field 47";
}

TEST(DeviceCodec, PasswordStopsAtThirtyOneCharacters) {
  std::vector<uint8_t> bytes = Bytes(golden::SET_NETWORK_REQUEST);
  std::fill(bytes.begin() + wire::HEADER_SIZE + wire::PASSWORD_AT, bytes.end(), 'x');
  const auto set = wire::ReadSetNetwork(bytes.data(), bytes.size());
  ASSERT_TRUE(set);
  EXPECT_EQ(set->password, std::string(31, 'x')) << "a sender filling all 32 bytes";
}
