// The explorer's wire code against datagrams typed in by hand: a constant
// or offset that drifts fails here even when every exchange with the
// simulator still works.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "support/WireGolden.h"

namespace {

template <size_t N>
std::vector<uint8_t> Bytes(const std::array<uint8_t, N>& a) {
  return {a.begin(), a.end()};
}

}  // namespace

TEST(WireGolden, RequestsGoToPort8375) {
  EXPECT_EQ(DEVICE_PORT, golden::DEVICE_PORT);
  EXPECT_EQ(DEVICE_PORT, 0x20B7);
}

TEST(WireGolden, DiscoveryRequestIsTheDocumentedSixteenBytes) {
  EXPECT_EQ(BuildRequest(OP_DISCOVER, nullptr, 0), Bytes(golden::DISCOVERY_REQUEST));
}

TEST(WireGolden, DiscoveryReplyIsAcceptedAndReadInPlace) {
  const auto& reply = golden::DISCOVERY_REPLY;
  ASSERT_EQ(ValidateReply(false, 0, reply.data(), static_cast<long>(reply.size()), DEVICE_RECORD_SIZE), 0);
  // Only where no payload is expected does the same datagram fail.
  EXPECT_EQ(ValidateReply(false, 0, reply.data(), static_cast<long>(reply.size()), 0),
            ERR_INVALID_BUFFER_SIZE);

  DeviceRecord record;
  std::copy(reply.begin() + DEVICE_HEADER_SIZE, reply.end(), record.bytes.begin());
  EXPECT_TRUE(std::equal(golden::REPLY_MAC.begin(), golden::REPLY_MAC.end(), record.mac()));
  EXPECT_EQ(FormatMac(record.mac()), "00:50:C2:1A:2B:3C");
  EXPECT_EQ(record.kind(), golden::REPLY_KIND);
  EXPECT_EQ(FormatIp(record.ip()), golden::REPLY_IP);
  EXPECT_EQ(FormatIp(record.mask()), golden::REPLY_MASK);
  EXPECT_EQ(record.ip(), inet_addr(golden::REPLY_IP));
}

TEST(WireGolden, SetNetworkRequestIsEncodedByteForByte) {
  SetNetworkRequest request;
  request.mac = golden::SET_MAC;
  request.kind = golden::SET_KIND;
  request.ip = inet_addr(golden::SET_IP);
  request.mask = inet_addr(golden::SET_MASK);
  request.password = golden::SET_PASSWORD;
  const auto payload = request.Encode();
  EXPECT_EQ(BuildRequest(OP_SET_NETWORK, payload.data(), payload.size()),
            Bytes(golden::SET_NETWORK_REQUEST));
}

TEST(WireGolden, OnlyTheElevenDocumentedKindsAreAccepted) {
  for (uint32_t kind = 0; kind <= 0xFFFF; ++kind) {
    const bool documented = std::find(golden::ACCEPTED_KINDS.begin(), golden::ACCEPTED_KINDS.end(),
                                      kind) != golden::ACCEPTED_KINDS.end();
    EXPECT_EQ(IsAcceptedKind(static_cast<uint16_t>(kind)), documented) << "kind " << kind;
  }
  EXPECT_FALSE(IsAcceptedKind(golden::REJECTED_KIND));
}
