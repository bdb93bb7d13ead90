#include "EchoProbe.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace quillbox {
namespace {

constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kUnreachable = 3;
constexpr uint8_t kTimeExceeded = 11;
constexpr size_t kIpHeaderSize = 20;

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
std::vector<uint8_t> WithIpHeader(const uint8_t* icmp, size_t size, uint32_t sourceNetOrder, uint8_t ttl) {
  std::vector<uint8_t> datagram(kIpHeaderSize + size, 0);
  datagram[0] = 0x45;
  const size_t total = datagram.size();
  datagram[2] = static_cast<uint8_t>(total >> 8);
  datagram[3] = static_cast<uint8_t>(total);
  datagram[8] = ttl;
  datagram[9] = IPPROTO_ICMP;
  std::memcpy(&datagram[12], &sourceNetOrder, 4);
  if (size) std::memcpy(&datagram[kIpHeaderSize], icmp, size);
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
  std::array<uint8_t, kRequestSize> req{};
  req[0] = kEchoRequest;
  req[1] = 0;
  PutLe16(&req[4], identifier);
  PutLe16(&req[6], sequence);
  PutLe32(&req[8], tick);
  std::memset(&req[20], 'E', 32);
  const uint16_t sum = Checksum(req.data(), req.size());
  req[2] = static_cast<uint8_t>(sum >> 8);
  req[3] = static_cast<uint8_t>(sum);
  return req;
}

Failure EchoProbe::DecodeDatagram(const uint8_t* data, size_t size, uint32_t nowTick,
                                  TReplyStatus* out) {
  const size_t headerLength = size > 0 ? size_t(data[0] & 0x0f) * 4 : 0;
  if (size == 0 || size < headerLength + 8) return Failure::General("Not enough bytes received");
  const uint8_t* icmp = data + headerLength;
  TReplyStatus rec;
  switch (icmp[0]) {
    case kEchoReply:
    case kEchoRequest:
      rec.ReplyStatus = rsEcho;
      break;
    case kUnreachable:
      rec.ReplyStatus = rsErrorUnreachable;
      break;
    case kTimeExceeded:
      rec.ReplyStatus = rsErrorTTLExceeded;
      break;
    default:
      return Failure::General("Non-echo type response received");
  }
  rec.BytesReceived = static_cast<int>(size);
  uint32_t source = 0;
  if (size >= 16) std::memcpy(&source, data + 12, 4);
  rec.FromIpAddress = net::FormatIpv4(source);
  rec.MsgType = icmp[0];
  rec.SequenceId = static_cast<uint16_t>(icmp[6] | icmp[7] << 8);
  rec.TimeToLive = size > 8 ? data[8] : 0;
  if (size >= headerLength + 12)
    rec.MsRoundTripTime = static_cast<int>(nowTick - GetLe32(icmp + 8));
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
  std::vector<uint8_t> icmp(buffer, buffer + received.size);
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
      std::vector<uint8_t> message(8, 0);
      message[0] = error.ee_type;
      message[1] = error.ee_code;
      message.insert(message.end(), icmp.begin(), icmp.end());
      icmp.swap(message);
      sockaddr_in offender{};
      std::memcpy(&offender, SO_EE_OFFENDER(ee), sizeof offender);
      source = offender.sin_addr.s_addr;
    }
  }
  const auto bytes = WithIpHeader(icmp.data(), icmp.size(), source, ttl);
  return DecodeDatagram(bytes.data(), bytes.size(), TickCount(), rec);
}

Failure EchoProbe::Ping() {
  const auto request =
      BuildRequest(static_cast<uint16_t>(::getpid() & 0xffff), sequence_, TickCount());
  ++sequence_;

  net::Socket socket;
  bool datagram = UseDatagramSocket;
  if (!datagram) {
    if (int err = socket.Open(AF_INET, SOCK_RAW, IPPROTO_ICMP, net::Blocking::Yes)) {
      // Without the right to a raw socket the kernel's ping socket still
      // lets us send echo requests; report the raw socket's refusal if that
      // is not possible either.
      if (socket.Open(AF_INET, SOCK_DGRAM, IPPROTO_ICMP, net::Blocking::Yes) != 0)
        return Failure::SocketError(err);
      datagram = true;
    }
  } else if (int err = socket.Open(AF_INET, SOCK_DGRAM, IPPROTO_ICMP, net::Blocking::Yes)) {
    return Failure::SocketError(err);
  }
  if (int err = socket.SetOption(IPPROTO_IP, IP_TTL, kTimeToLive)) return Failure::SocketError(err);
  if (datagram) {
    if (int err = socket.SetOption(IPPROTO_IP, IP_RECVTTL, 1)) return Failure::SocketError(err);
    if (int err = socket.SetOption(IPPROTO_IP, IP_RECVERR, 1)) return Failure::SocketError(err);
  }
  uint32_t target = 0;
  if (int err = net::ResolveIpv4(Host, &target)) return Failure::SocketError(err);
  if (int err = socket.SendTo(request.data(), request.size(), {target, 0}))
    return Failure::SocketError(err);
  // A raw socket also sees our own request when it leaves through the
  // loopback interface, also for a target that is merely routed there and
  // owned by nobody. An echo request counts as the answer only when the
  // target is this computer; otherwise the wait goes on.
  const bool targetIsLocal = datagram || IsLocalAddress(target);

  const int timeout = ReceiveTimeout > 0 ? ReceiveTimeout : 0;
  const int idle = IdleTimeOut > 0 ? IdleTimeOut : 250;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  // The first slice takes the remainder so that the others are whole.
  int slice = timeout % idle;
  if (slice == 0) slice = std::min(idle, timeout);
  TReplyStatus rec;
  bool answered = false;
  for (;;) {
    short revents = 0;
    if (int err = socket.Poll(POLLIN, slice, &revents)) return Failure::SocketError(err);
    if (revents != 0) {
      if (Failure f = Receive(socket, datagram, revents, &rec)) return f;
      answered = targetIsLocal || rec.MsgType != kEchoRequest;
      if (answered) break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    slice = static_cast<int>(std::min<long long>(left, idle));
  }
  if (!answered) {
    rec = TReplyStatus{};
    rec.SequenceId = sequence_;
  }
  reply_ = rec;
  if (OnReply) OnReply(reply_);
  return {};
}

}  // namespace quillbox
