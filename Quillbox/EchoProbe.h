#pragma once
// ICMP echo probe: one Ping sends one echo request and reports the first
// ICMP message of an accepted type that comes back within ReceiveTimeout.
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "Failure.h"
#include "net/Socket.h"

namespace quillbox {

enum TReplyStatusType {
  rsEcho = 0,
  rsError = 1,
  rsTimeOut = 2,
  rsErrorUnreachable = 3,
  rsErrorTTLExceeded = 4,
};

struct TReplyStatus {
  int BytesReceived = 0;
  std::string FromIpAddress = "0.0.0.0";
  uint8_t MsgType = 0;
  uint16_t SequenceId = 0;
  int MsRoundTripTime = 0;
  uint8_t TimeToLive = 0;
  TReplyStatusType ReplyStatus = rsTimeOut;
};

class EchoProbe {
 public:
  static constexpr size_t kRequestSize = 52;
  static constexpr size_t kReceiveBufferSize = 1024;
  static constexpr int kTimeToLive = 128;

  std::string Host;
  int ReceiveTimeout = 5000;
  // Slice length of the reply wait.
  int IdleTimeOut = 250;
  std::function<void(const TReplyStatus&)> OnReply;
  // Asked on every pass of the reply wait; true ends the wait at once as a
  // time-out, so a cancel is not held by a stream of other ICMP traffic.
  std::function<bool()> Cancelled;
  // Tests set this to exercise the unprivileged ICMP datagram socket even
  // where a raw socket could be opened.
  bool UseDatagramSocket = false;

  Failure Ping();
  const TReplyStatus& ReplyStatus() const { return reply_; }
  uint16_t SequenceCounter() const { return sequence_; }
  void SetSequenceCounter(uint16_t value) { sequence_ = value; }

  // The echo request with the given sequence number and send time.
  static std::array<uint8_t, kRequestSize> BuildRequest(uint16_t identifier, uint16_t sequence,
                                                        uint32_t tick);
  // Decodes a received IPv4 datagram (header included) into *out.
  static Failure DecodeDatagram(const uint8_t* data, size_t size, uint32_t nowTick,
                                TReplyStatus* out);
  static uint16_t Checksum(const uint8_t* data, size_t size);
  static uint32_t TickCount();

 private:
  // The steps of Ping. OpenSocket falls back to the ping socket (and sets
  // *datagram) where no raw socket may be had.
  static Failure OpenSocket(net::Socket* socket, bool* datagram);
  // The ping socket writes an identifier of its own choice into every
  // request; asks for `identifier` instead, keeping the system's choice when
  // another socket has it.
  static void BindIdentifier(net::Socket& socket, uint16_t identifier);
  Failure SendRequest(net::Socket& socket, const std::array<uint8_t, kRequestSize>& request,
                      uint32_t* target) const;
  // The first accepted ICMP message within ReceiveTimeout, or the time-out
  // record.
  Failure AwaitReply(net::Socket& socket, bool datagram, bool targetIsLocal, TReplyStatus* rec) const;
  void Report(const TReplyStatus& rec);

  static bool IsLocalAddress(uint32_t ipNetOrder);
  static Failure Receive(net::Socket& socket, bool datagram, short revents, TReplyStatus* rec);

  uint16_t sequence_ = 0;
  TReplyStatus reply_;
};

}  // namespace quillbox
