// The ICMP echo probe: request layout, decoding, and real probes inside the
// private network (loopback answers, the sink never does).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "EchoProbe.h"
#include "support/NetGuard.h"

using namespace quillbox;

namespace {

std::vector<uint8_t> Datagram(uint8_t type, size_t icmpBytes, uint8_t ttl = 64) {
  std::vector<uint8_t> d(20 + icmpBytes, 0);
  d[0] = 0x45;
  d[8] = ttl;
  d[9] = 1;
  const uint8_t src[] = {192, 168, 1, 10};
  std::memcpy(&d[12], src, 4);
  if (icmpBytes > 0) d[20] = type;
  return d;
}

}  // namespace

TEST(EchoRequest, LayoutAndChecksum) {
  const auto req = EchoProbe::BuildRequest(0x1234, 0x0201, 0xA1B2C3D4);
  ASSERT_EQ(req.size(), 52u);
  EXPECT_EQ(req[0], 8);
  EXPECT_EQ(req[1], 0);
  EXPECT_EQ(req[4], 0x34);  // identifier, least significant byte first
  EXPECT_EQ(req[5], 0x12);
  EXPECT_EQ(req[6], 0x01);  // sequence
  EXPECT_EQ(req[7], 0x02);
  EXPECT_EQ(req[8], 0xD4);  // send time
  EXPECT_EQ(req[11], 0xA1);
  for (int i = 12; i < 20; ++i) EXPECT_EQ(req[i], 0) << i;
  for (int i = 20; i < 52; ++i) EXPECT_EQ(req[i], 'E') << i;
  // A correct Internet checksum makes the sum over the whole message zero.
  EXPECT_EQ(EchoProbe::Checksum(req.data(), req.size()), 0);
  EXPECT_NE(req[2] | req[3], 0);
}

TEST(EchoDecoding, TypesFieldsAndShortData) {
  TReplyStatus rec;
  auto reply = Datagram(0, 52, 57);
  reply[20 + 6] = 0x05;  // sequence 5
  const uint32_t sent = 1000;
  std::memcpy(&reply[20 + 8], &sent, 4);  // little-endian host
  ASSERT_FALSE(EchoProbe::DecodeDatagram(reply.data(), reply.size(), 1042, &rec));
  EXPECT_EQ(rec.ReplyStatus, rsEcho);
  EXPECT_EQ(rec.BytesReceived, 72);
  EXPECT_EQ(rec.FromIpAddress, "192.168.1.10");
  EXPECT_EQ(rec.TimeToLive, 57);
  EXPECT_EQ(rec.SequenceId, 5);
  EXPECT_EQ(rec.MsRoundTripTime, 42);

  auto own = Datagram(8, 52);
  ASSERT_FALSE(EchoProbe::DecodeDatagram(own.data(), own.size(), 0, &rec));
  EXPECT_EQ(rec.ReplyStatus, rsEcho);
  auto unreachable = Datagram(3, 36);
  ASSERT_FALSE(EchoProbe::DecodeDatagram(unreachable.data(), unreachable.size(), 0, &rec));
  EXPECT_EQ(rec.ReplyStatus, rsErrorUnreachable);
  auto expired = Datagram(11, 36);
  ASSERT_FALSE(EchoProbe::DecodeDatagram(expired.data(), expired.size(), 0, &rec));
  EXPECT_EQ(rec.ReplyStatus, rsErrorTTLExceeded);

  auto redirect = Datagram(5, 36);
  Failure f = EchoProbe::DecodeDatagram(redirect.data(), redirect.size(), 0, &rec);
  EXPECT_EQ(f.kind, FailureKind::General);
  EXPECT_EQ(f.message, "Non-echo type response received");

  auto shortReply = Datagram(0, 7);
  f = EchoProbe::DecodeDatagram(shortReply.data(), shortReply.size(), 0, &rec);
  EXPECT_EQ(f.message, "Not enough bytes received");
  // The header length comes from the first byte: options make it longer.
  auto withOptions = Datagram(0, 8);
  withOptions[0] = 0x46;
  f = EchoProbe::DecodeDatagram(withOptions.data(), withOptions.size(), 0, &rec);
  EXPECT_EQ(f.message, "Not enough bytes received");
  f = EchoProbe::DecodeDatagram(withOptions.data(), 0, 0, &rec);
  EXPECT_EQ(f.message, "Not enough bytes received");
}

TEST(EchoProbeNet, LoopbackAnswersAndSequenceCounts) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  EchoProbe probe;
  probe.Host = "127.0.0.1";
  probe.ReceiveTimeout = 1000;
  for (uint16_t i = 0; i < 3; ++i) {
    Failure f = probe.Ping();
    ASSERT_FALSE(f) << f.message;
    const auto& r = probe.ReplyStatus();
    EXPECT_EQ(r.ReplyStatus, rsEcho);
    EXPECT_EQ(r.FromIpAddress, "127.0.0.1");
    EXPECT_EQ(r.SequenceId, i) << "sequence numbers count from 0";
    EXPECT_EQ(r.BytesReceived, 72);
    EXPECT_GT(r.TimeToLive, 0);
    EXPECT_GE(r.MsRoundTripTime, 0);
    EXPECT_LT(r.MsRoundTripTime, 1000);
  }
  probe.SetSequenceCounter(65535);
  ASSERT_FALSE(probe.Ping());
  EXPECT_EQ(probe.ReplyStatus().SequenceId, 65535);
  EXPECT_EQ(probe.SequenceCounter(), 0) << "the counter wraps";
}

TEST(EchoProbeNet, DatagramSocketGivesTheSameRecord) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  EchoProbe probe;
  probe.Host = "127.0.0.1";
  probe.ReceiveTimeout = 1000;
  probe.UseDatagramSocket = true;
  int replies = 0;
  probe.OnReply = [&](const TReplyStatus&) { ++replies; };
  Failure f = probe.Ping();
  if (f.kind == FailureKind::Socket && (f.code == EACCES || f.code == EPERM))
    GTEST_SKIP() << "ICMP datagram sockets not permitted here: " << f.message;
  ASSERT_FALSE(f) << f.message;
  const auto& r = probe.ReplyStatus();
  EXPECT_EQ(r.ReplyStatus, rsEcho);
  EXPECT_EQ(r.MsgType, 0);
  EXPECT_EQ(r.FromIpAddress, "127.0.0.1");
  EXPECT_EQ(r.BytesReceived, 72);
  EXPECT_EQ(r.SequenceId, 0);
  EXPECT_GT(r.TimeToLive, 0) << "rebuilt from the socket's metadata";
  EXPECT_EQ(replies, 1);
}

TEST(EchoProbeNet, SilentAddressTimesOut) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  EchoProbe probe;
  probe.Host = "10.200.0.2";
  probe.ReceiveTimeout = 1000;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_FALSE(probe.Ping());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  const auto& r = probe.ReplyStatus();
  EXPECT_EQ(r.ReplyStatus, rsTimeOut);
  EXPECT_EQ(r.FromIpAddress, "0.0.0.0");
  EXPECT_EQ(r.BytesReceived, 0);
  EXPECT_EQ(r.TimeToLive, 0);
  EXPECT_EQ(r.SequenceId, 1) << "a time-out reports the advanced counter";
  EXPECT_GE(ms, 990);
  EXPECT_LT(ms, 3000);
}

namespace {

// The identifier field of the first echo request (type 8 with the probe's
// fill) that a raw socket sees arrive, or -1.
int SniffedIdentifier(net::Socket& sniffer) {
  for (int i = 0; i < 20; ++i) {
    short revents = 0;
    if (sniffer.Poll(POLLIN, 200, &revents) != 0 || revents == 0) return -1;
    uint8_t buffer[1024];
    net::Datagram d;
    if (sniffer.ReceiveFrom(buffer, sizeof buffer, &d) != 0) continue;
    const size_t ihl = size_t(buffer[0] & 0x0f) * 4;
    if (d.size < ihl + 52 || buffer[ihl] != 8 || buffer[ihl + 20] != 'E') continue;
    return buffer[ihl + 4] | buffer[ihl + 5] << 8;  // least significant byte first
  }
  return -1;
}

}  // namespace

TEST(EchoProbeNet, DatagramSocketSendsTheProcessIdentifier) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  net::Socket sniffer;
  if (sniffer.Open(AF_INET, SOCK_RAW, IPPROTO_ICMP, net::Blocking::Yes) != 0)
    GTEST_SKIP() << "watching the requests needs a raw socket";
  const int pid = ::getpid() & 0xffff;
  EchoProbe probe;
  probe.Host = "127.0.0.1";
  probe.ReceiveTimeout = 1000;
  probe.UseDatagramSocket = true;
  Failure f = probe.Ping();
  if (f.kind == FailureKind::Socket && (f.code == EACCES || f.code == EPERM))
    GTEST_SKIP() << "ICMP datagram sockets not permitted here: " << f.message;
  ASSERT_FALSE(f) << f.message;
  EXPECT_EQ(probe.ReplyStatus().ReplyStatus, rsEcho);
  EXPECT_EQ(SniffedIdentifier(sniffer), pid) << "the low 16 bits of the process id";

  // Another ping socket holding that identifier: the probe still works with
  // whatever identifier the system gives it.
  net::Socket holder;
  ASSERT_EQ(holder.Open(AF_INET, SOCK_DGRAM, IPPROTO_ICMP), 0);
  ASSERT_EQ(holder.Bind({0, static_cast<uint16_t>((pid & 0xff) << 8 | pid >> 8)}), 0);
  while (SniffedIdentifier(sniffer) >= 0) {
  }
  ASSERT_FALSE(probe.Ping());
  EXPECT_EQ(probe.ReplyStatus().ReplyStatus, rsEcho);
  const int taken = SniffedIdentifier(sniffer);
  EXPECT_GE(taken, 0);
  EXPECT_NE(taken, pid);
}
