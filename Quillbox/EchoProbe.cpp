#include "EchoProbe.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace quillbox {
namespace {

// The echo request, an ICMP message (RFC 792) of 52 bytes. The fields after
// the checksum are little-endian, least significant byte first; the checksum
// (RFC 1071, over all 52 bytes with its own field 0) is in network order.
// A reply starts the same way, behind the IPv4 header shown further down.
//
//  0               8               16                              31
// +---------------+---------------+-------------------------------+  ---
// |   type (8)    |   code (0)    |           checksum            |   ^
// +---------------+---------------+-------------------------------+   |
// |          identifier           |        sequence number        |   |
// +-------------------------------+-------------------------------+   |
// |                     send time (ms tick)                       |  52
// +---------------------------------------------------------------+ bytes
// |                        8 zero bytes                           |   |
// |                                                               |   |
// +---------------------------------------------------------------+   |
// |                  32 bytes of the letter 'E'                   |   v
// +---------------------------------------------------------------+  ---
namespace icmp {
constexpr size_t kType = 0;
constexpr size_t kCode = 1;
constexpr size_t kChecksum = 2;
constexpr size_t kIdentifier = 4;
constexpr size_t kSequence = 6;
constexpr size_t kSendTime = 8;
constexpr size_t kFill = 20;
constexpr size_t kFillSize = 32;
constexpr uint8_t kFillByte = 'E';
// What every ICMP message has: type, code, checksum and four more bytes.
constexpr size_t kHeaderSize = 8;

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kUnreachable = 3;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kTimeExceeded = 11;
}  // namespace icmp

// The IPv4 header in front of a received ICMP message (RFC 791). The
// decoder reads the header length, the time to live and the source.
//
//  0       4       8               16                              31
// +-------+-------+---------------+-------------------------------+
// |version|  IHL  |type of service|         total length          |
// +-------+-------+---------------+-------------------------------+
// |        identification         |flags|     fragment offset     |
// +---------------+---------------+-------------------------------+
// | time to live  |   protocol    |        header checksum        |
// +---------------+---------------+-------------------------------+
// |                        source address                         |
// +---------------------------------------------------------------+
// |                      destination address                      |
// +---------------------------------------------------------------+
// | options while IHL (the header length in 32-bit words) > 5     |
// +---------------------------------------------------------------+
namespace ipv4 {
constexpr size_t kVersionAndLength = 0;
constexpr size_t kTotalLength = 2;
constexpr size_t kTimeToLive = 8;
constexpr size_t kProtocol = 9;
constexpr size_t kSource = 12;
constexpr size_t kMinHeaderSize = 20;
constexpr uint8_t kVersion4NoOptions = 0x45;

size_t HeaderLength(uint8_t versionAndLength) { return size_t(versionAndLength & 0x0f) * 4; }
}  // namespace ipv4

void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The datagram socket hands over the ICMP message only; put a minimal IPv4
// header in front so that one decoder serves both kinds of socket.
std::vector<uint8_t> WithIpHeader(const uint8_t* message, size_t size, uint32_t sourceNetOrder, uint8_t ttl) {
  std::vector<uint8_t> datagram(ipv4::kMinHeaderSize + size, 0);
  datagram[ipv4::kVersionAndLength] = ipv4::kVersion4NoOptions;
  const size_t total = datagram.size();
  datagram[ipv4::kTotalLength] = static_cast<uint8_t>(total >> 8);
  datagram[ipv4::kTotalLength + 1] = static_cast<uint8_t>(total);
  datagram[ipv4::kTimeToLive] = ttl;
  datagram[ipv4::kProtocol] = IPPROTO_ICMP;
  std::memcpy(&datagram[ipv4::kSource], &sourceNetOrder, 4);
  if (size) std::memcpy(&datagram[ipv4::kMinHeaderSize], message, size);
  return datagram;
}

}  // namespace

uint32_t EchoProbe::TickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint16_t EchoProbe::Checksum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += uint32_t(data[i]) << 8 | data[i + 1];
  if (size & 1) sum += uint32_t(data[size - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::array<uint8_t, EchoProbe::kRequestSize> EchoProbe::BuildRequest(uint16_t identifier,
                                                                     uint16_t sequence,
                                                                     uint32_t tick) {
  static_assert(icmp::kFill + icmp::kFillSize == kRequestSize);
  std::array<uint8_t, kRequestSize> req{};  // the zero bytes included
  req[icmp::kType] = icmp::kEchoRequest;
  req[icmp::kCode] = 0;
  PutLe16(&req[icmp::kIdentifier], identifier);
  PutLe16(&req[icmp::kSequence], sequence);
  PutLe32(&req[icmp::kSendTime], tick);
  std::memset(&req[icmp::kFill], icmp::kFillByte, icmp::kFillSize);
  const uint16_t sum = Checksum(req.data(), req.size());
  req[icmp::kChecksum] = static_cast<uint8_t>(sum >> 8);
  req[icmp::kChecksum + 1] = static_cast<uint8_t>(sum);
  return req;
}

Failure EchoProbe::DecodeDatagram(const uint8_t* data, size_t size, uint32_t nowTick,
                                  TReplyStatus* out) {
  const size_t headerLength = size > 0 ? ipv4::HeaderLength(data[ipv4::kVersionAndLength]) : 0;
  if (size == 0 || size < headerLength + icmp::kHeaderSize)
    return Failure::General("Not enough bytes received");
  const uint8_t* message = data + headerLength;
  TReplyStatus rec;
  switch (message[icmp::kType]) {
    case icmp::kEchoReply:
    case icmp::kEchoRequest:
      rec.ReplyStatus = rsEcho;
      break;
    case icmp::kUnreachable:
      rec.ReplyStatus = rsErrorUnreachable;
      break;
    case icmp::kTimeExceeded:
      rec.ReplyStatus = rsErrorTTLExceeded;
      break;
    default:
      return Failure::General("Non-echo type response received");
  }
  rec.BytesReceived = static_cast<int>(size);
  uint32_t source = 0;
  if (size >= ipv4::kSource + 4) std::memcpy(&source, data + ipv4::kSource, 4);
  rec.FromIpAddress = net::FormatIpv4(source);
  rec.MsgType = message[icmp::kType];
  rec.SequenceId = static_cast<uint16_t>(message[icmp::kSequence] | message[icmp::kSequence + 1] << 8);
  rec.TimeToLive = size > ipv4::kTimeToLive ? data[ipv4::kTimeToLive] : 0;
  if (size >= headerLength + icmp::kSendTime + 4)
    rec.MsRoundTripTime = static_cast<int>(nowTick - GetLe32(message + icmp::kSendTime));
  *out = rec;
  return {};
}

bool EchoProbe::IsLocalAddress(uint32_t ipNetOrder) {
  // Only an address of this computer can be bound.
  net::Socket probe;
  return probe.OpenUdp() == 0 && probe.Bind({ipNetOrder, 0}) == 0;
}

Failure EchoProbe::Receive(net::Socket& socket, bool datagram, short revents, TReplyStatus* rec) {
  uint8_t buffer[kReceiveBufferSize];
  net::Datagram received;
  // A longer datagram is decoded from its head; the decoder needs no more.
  if (!datagram) {
    const int err = socket.ReceiveFrom(buffer, sizeof buffer, &received);
    if (err != 0 && err != EMSGSIZE) return Failure::SocketError(err);
    return DecodeDatagram(buffer, received.size, TickCount(), rec);
  }
  alignas(cmsghdr) uint8_t control[512];
  size_t controlSize = sizeof control;
  const bool isError = (revents & POLLERR) != 0 && (revents & POLLIN) == 0;
  const int err = socket.ReceiveMessage(buffer, sizeof buffer, &received, control, &controlSize,
                                        isError ? MSG_ERRQUEUE : 0);
  if (err != 0 && err != EMSGSIZE) return Failure::SocketError(err);
  uint8_t ttl = 0;
  std::vector<uint8_t> message(buffer, buffer + received.size);
  uint32_t source = received.from.ip;
  msghdr msg{};
  msg.msg_control = control;
  msg.msg_controllen = controlSize;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP) continue;
    if (c->cmsg_type == IP_TTL) {
      int value = 0;
      std::memcpy(&value, CMSG_DATA(c), sizeof value);
      ttl = static_cast<uint8_t>(value);
    } else if (c->cmsg_type == IP_RECVERR) {
      auto* ee = reinterpret_cast<sock_extended_err*>(CMSG_DATA(c));
      sock_extended_err error{};
      std::memcpy(&error, ee, sizeof error);
      if (error.ee_origin != SO_EE_ORIGIN_ICMP) return Failure::SocketError(error.ee_errno);
      // An ICMP error about our request: present it as that message, its
      // header followed by what it quoted.
      std::vector<uint8_t> notice(icmp::kHeaderSize, 0);
      notice[icmp::kType] = error.ee_type;
      notice[icmp::kCode] = error.ee_code;
      notice.insert(notice.end(), message.begin(), message.end());
      message.swap(notice);
      sockaddr_in offender{};
      std::memcpy(&offender, SO_EE_OFFENDER(ee), sizeof offender);
      source = offender.sin_addr.s_addr;
    }
  }
  const auto bytes = WithIpHeader(message.data(), message.size(), source, ttl);
  return DecodeDatagram(bytes.data(), bytes.size(), TickCount(), rec);
}

namespace {

// Neither echo socket may be had: the socket error, and what is missing
// for the user to put right.
Failure NoEchoSocket(int err) {
  Failure f = Failure::SocketError(err);
  std::string range;
  std::ifstream in("/proc/sys/net/ipv4/ping_group_range");
  std::getline(in, range);
  for (char& c : range)
    if (c == '\t') c = ' ';
  f.message += "\r\nEcho requests need a raw socket (the CAP_NET_RAW capability) or an ICMP "
               "datagram socket (a group of this user inside net.ipv4.ping_group_range" +
               (range.empty() ? std::string() : ", now \"" + range + "\"") + ").";
  return f;
}

}  // namespace

Failure EchoProbe::OpenSocket(net::Socket* socket, bool* datagram) {
  if (!*datagram) {
    if (int err = socket->Open(AF_INET, SOCK_RAW, IPPROTO_ICMP, net::Blocking::Yes)) {
      // Without the right to a raw socket the kernel's ping socket still
      // lets us send echo requests; report the raw socket's refusal if that
      // is not possible either.
      if (socket->Open(AF_INET, SOCK_DGRAM, IPPROTO_ICMP, net::Blocking::Yes) != 0) return NoEchoSocket(err);
      *datagram = true;
    }
  } else if (int err = socket->Open(AF_INET, SOCK_DGRAM, IPPROTO_ICMP, net::Blocking::Yes)) {
    return err == EACCES || err == EPERM ? NoEchoSocket(err) : Failure::SocketError(err);
  }
  if (int err = socket->SetOption(IPPROTO_IP, IP_TTL, kTimeToLive)) return Failure::SocketError(err);
  if (*datagram) {
    // The ping socket hands over neither the IPv4 header nor ICMP errors by
    // itself: ask for the time to live and the error queue.
    if (int err = socket->SetOption(IPPROTO_IP, IP_RECVTTL, 1)) return Failure::SocketError(err);
    if (int err = socket->SetOption(IPPROTO_IP, IP_RECVERR, 1)) return Failure::SocketError(err);
  }
  return {};
}

void EchoProbe::BindIdentifier(net::Socket& socket, uint16_t identifier) {
  // The identifier is the bound port, sent as it is stored (network order);
  // the request carries it least significant byte first, so the port is the
  // identifier with its bytes swapped.
  const uint16_t port = static_cast<uint16_t>((identifier & 0xff) << 8 | identifier >> 8);
  // Ping sockets share identifiers by default, and the newest one then takes
  // the replies meant for the other: ask for it alone, so a taken identifier
  // is refused. A failed bind leaves the socket unbound and the system picks
  // a free identifier at the send.
  if (socket.SetReuseAddress(false) != 0) return;
  (void)socket.Bind({htonl(INADDR_ANY), port});
}

Failure EchoProbe::SendRequest(net::Socket& socket, const std::array<uint8_t, kRequestSize>& request,
                               uint32_t* target) const {
  if (int err = net::ResolveIpv4(Host, target)) return Failure::SocketError(err);
  if (int err = socket.SendTo(request.data(), request.size(), {*target, 0}))
    return Failure::SocketError(err);
  return {};
}

Failure EchoProbe::AwaitReply(net::Socket& socket, bool datagram, bool targetIsLocal,
                              TReplyStatus* rec) const {
  const int timeout = ReceiveTimeout > 0 ? ReceiveTimeout : 0;
  const int idle = IdleTimeOut > 0 ? IdleTimeOut : 250;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  // The first slice takes the remainder so that the others are whole.
  int slice = timeout % idle;
  if (slice == 0) slice = std::min(idle, timeout);
  for (;;) {
    if (Cancelled && Cancelled()) break;
    short revents = 0;
    if (int err = socket.Poll(POLLIN, slice, &revents)) return Failure::SocketError(err);
    if (revents != 0) {
      if (Failure f = Receive(socket, datagram, revents, rec)) return f;
      if (targetIsLocal || rec->MsgType != icmp::kEchoRequest) return {};
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    slice = static_cast<int>(std::min<long long>(left, idle));
  }
  *rec = TReplyStatus{};
  rec->SequenceId = sequence_;
  return {};
}

void EchoProbe::Report(const TReplyStatus& rec) {
  reply_ = rec;
  if (OnReply) OnReply(reply_);
}

Failure EchoProbe::Ping() {
  const uint16_t identifier = static_cast<uint16_t>(::getpid() & 0xffff);
  const auto request = BuildRequest(identifier, sequence_, TickCount());
  ++sequence_;
  net::Socket socket;
  bool datagram = UseDatagramSocket;
  if (Failure f = OpenSocket(&socket, &datagram)) return f;
  if (datagram) BindIdentifier(socket, identifier);
  uint32_t target = 0;
  if (Failure f = SendRequest(socket, request, &target)) return f;
  // A raw socket also sees our own request when it leaves through the
  // loopback interface, also for a target that is merely routed there and
  // owned by nobody. An echo request counts as the answer only when the
  // target is this computer; otherwise the wait goes on.
  const bool targetIsLocal = datagram || IsLocalAddress(target);
  TReplyStatus rec;
  if (Failure f = AwaitReply(socket, datagram, targetIsLocal, &rec)) return f;
  Report(rec);
  return {};
}

}  // namespace quillbox
