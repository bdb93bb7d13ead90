// The exchange of a TFTP send thread, driven over a scripted link on a
// virtual clock: whatever the requester (and a stranger) can send, at any
// moment, silence of any length, a stop by the owner, failing sends,
// receives and stream reads; no network and no real wait, the production
// time-outs all the same. Checked against what the requester sees:
//   - OACK first when a block size was asked for, then DATA, at most one
//     ERROR and nothing after it; a stranger's datagram gets one ERROR
//     "Unknown transfer ID" at once and changes nothing;
//   - DATA n+1 only right after ACK n, each block the file's next bytes and
//     never more than the block size, a resend the same bytes, nothing new
//     after the short final block;
//   - a resend comes at once for a stray ACK, and for silence exactly one
//     retry time-out after the packet went out (never for the final
//     block); "Timeout" after the time-out of the third send;
//   - an ending has the ERROR that its cause calls for, at the moment of
//     the cause (for a stop, at the end of the wait it came in);
//   - the thread never waits past its time-out nor owing an answer, and
//     without further events it ends within three retry time-outs;
//   - one completion report, successful exactly when the final block
//     reached the requester; the stream closed once by whoever owns it.
// Input: block-size, file-size and stream choices, then events, each a
// byte of kind and delay followed by the kind's operands.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "Failure.h"
#include "FuzzSupport.h"
#include "TftpPacket.h"
#include "TftpServer.h"

using namespace quillbox;
using Clock = TftpSendLink::Clock;
using std::chrono::milliseconds;

namespace {

// The production settings: the clock is virtual, so time-outs cost nothing.
const TftpServerSettings kSettings;
const Clock::duration kRetry = kSettings.retryTimeout;
const Clock::duration kStopCheck = kSettings.stopCheck;
constexpr int kMaxLinkCalls = 200000;  // far beyond any input's needs: a loop that never ends

const net::Endpoint kRequester{htonl(INADDR_LOOPBACK), 40000};
const net::Endpoint kStrangerPort{htonl(INADDR_LOOPBACK), 40001};
const net::Endpoint kStrangerAddress{htonl(INADDR_LOOPBACK + 1), 40000};

// Requested block sizes: none, the RFC's range and its edges, and beyond.
constexpr int kRequested[] = {0, 0, 1, 8, 511, 512, 513, 1024, 1428, 4096, 65464, 65465, 1 << 20, -7};
constexpr size_t kMaxWholeBlocks = 3;

// The bytes every file is cut from (made once: filling a file of three
// 64 KiB blocks per input would cost more than the exchange).
const std::string& Pattern() {
  static const std::string bytes = [] {
    std::string b((kMaxWholeBlocks + 1) * tftp::MAX_BLOCK_SIZE, '\0');
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 131 + i / 251);
    return b;
  }();
  return bytes;
}

class MemoryStream final : public TftpStream {
 public:
  MemoryStream(size_t size, int failingRead) : size_(size), failingRead_(failingRead) {}
  int Read(uint8_t* buffer, size_t size, size_t* got) override {
    *got = 0;
    if (++reads_ == failingRead_) return EIO;
    *got = std::min(size, size_ - pos_);
    std::memcpy(buffer, Pattern().data() + pos_, *got);
    pos_ += *got;
    return 0;
  }
  void Close() override { ++closes; }
  // Whether the next read fails.
  bool NextReadFails() const { return reads_ + 1 == failingRead_; }
  int closes = 0;

 private:
  size_t size_;
  size_t pos_ = 0;
  int reads_ = 0;
  int failingRead_;  // 0: none
};

std::string Packet(uint16_t opcode, uint16_t value, const std::string& tail = "") {
  std::string p(4, '\0');
  tftp::PutU16(reinterpret_cast<uint8_t*>(p.data()), opcode);
  tftp::PutU16(reinterpret_cast<uint8_t*>(p.data()) + 2, value);
  return p + tail;
}

uint16_t U16At(std::string_view bytes, size_t at) {
  return tftp::GetU16(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

// What the thread owes next.
struct Expect {
  enum Kind {
    Wait,      // nothing before the outstanding packet's time-out or the next event
    Oack,      // the OACK, at once
    NewBlock,  // the next DATA block, at once
    Resend,    // the outstanding packet again, at once
    End,       // the end of the transfer, at once, sending nothing
    Error,     // this ERROR, at once
  } kind = Wait;
  Clock::time_point at;
  uint16_t code = 0;
  std::string message;
};

// The requester, a stranger and the owner, all in one: plays the input's
// events on the virtual clock and checks every packet the thread sends.
class World final : public TftpSendLink {
 public:
  World(fuzz::Bytes& in, std::string_view file, size_t blockSize, bool oack, MemoryStream& stream)
      : in_(in), file_(file), blockSize_(blockSize), stream_(stream) {
    now_ = lastEvent_ = Clock::time_point{} + std::chrono::hours(1);
    if (oack)
      Owe(Expect::Oack);
    else
      OweBlock();
  }
  void SetThread(TftpSendThread* thread) { thread_ = thread; }

  int Open() override { return 0; }
  void Close() override { ++closes_; }
  Clock::time_point Now() override { return now_; }

  int SendTo(const uint8_t* data, size_t size, const net::Endpoint& to) override {
    FUZZ_CHECK(++calls_ < kMaxLinkCalls);
    const std::string_view packet(reinterpret_cast<const char*>(data), size);
    if (!(to == kRequester)) {
      // Only the refusal a stranger is owed goes elsewhere.
      FUZZ_CHECK(owedStranger_ && to == strangerFrom_);
      FUZZ_CHECK(size >= 5 && U16At(packet, 0) == tftp::ERROR && U16At(packet, 2) == tftp::ERR_UNKNOWN_TRANSFER_ID);
      FUZZ_CHECK(packet.substr(4) == std::string_view("Unknown transfer ID", 20));
      owedStranger_ = false;
      return 0;
    }
    FUZZ_CHECK(!owedStranger_);  // the refusal comes before anything else
    FUZZ_CHECK(!ended_);         // nothing after an ERROR
    const int failure = failNextSend_;
    failNextSend_ = 0;
    Take(packet, failure == 0);
    if (failure != 0 && !ended_) Owe(Expect::Error, 0, SocketErrorMessage(failure));
    return failure;
  }

  int WaitReadable(int timeoutMs, bool* ready) override {
    FUZZ_CHECK(++calls_ < kMaxLinkCalls);
    // A stop is seen before the next wait; an answer due at once comes
    // before any wait; no wait runs past the outstanding packet's time-out.
    FUZZ_CHECK(!stopped_);
    FUZZ_CHECK(!owedStranger_);
    FUZZ_CHECK(expect_.kind == Expect::Wait && !ended_);
    FUZZ_CHECK(timeoutMs >= 1 && milliseconds(timeoutMs) <= kStopCheck);
    FUZZ_CHECK(now_ + milliseconds(timeoutMs) <= timerStart_ + kRetry);
    *ready = false;
    const Clock::time_point end = now_ + milliseconds(timeoutMs);
    for (;;) {
      if (queuedValid_ || queuedError_ != 0) {
        *ready = true;
        return 0;
      }
      if (!pendingValid_ && !stopped_ && in_.Left() > 0) Decide();
      if (!pendingValid_ || pending_.at > end) break;
      now_ = pending_.at;
      pendingValid_ = false;
      lastEvent_ = now_;
      Apply(pending_);
    }
    now_ = end;
    // Left alone, a transfer ends within the time-outs of three sends.
    if (!pendingValid_ && in_.Left() == 0)
      FUZZ_CHECK(now_ <= lastEvent_ + kSettings.sendsBeforeTimeout * kRetry);
    return 0;
  }

  int ReceiveFrom(uint8_t* buffer, size_t capacity, net::Datagram* datagram) override {
    FUZZ_CHECK(++calls_ < kMaxLinkCalls);
    *datagram = {};
    if (queuedError_ != 0) {
      const int err = queuedError_;
      queuedError_ = 0;
      Owe(Expect::Error, 0, SocketErrorMessage(err));
      return err;
    }
    FUZZ_CHECK(queuedValid_);
    // As a socket does: a datagram longer than the buffer is consumed and
    // reported with its head.
    const std::string head = queued_.substr(0, capacity);
    std::memcpy(buffer, head.data(), head.size());
    datagram->size = head.size();
    datagram->from = queuedFrom_;
    const bool cut = head.size() < queued_.size();
    queuedValid_ = false;
    if (datagram->from == kRequester) {
      React(head);
    } else {
      owedStranger_ = true;
      strangerFrom_ = datagram->from;
    }
    return cut ? EMSGSIZE : 0;
  }

  // After the thread has ended: it ended for a reason, at its moment.
  void CheckEnded() const {
    FUZZ_CHECK(!owedStranger_);
    const bool endedByAck = expect_.kind == Expect::End && now_ == expect_.at;
    const bool finalLeftUnanswered = expect_.kind == Expect::Wait && finalSent_ && now_ == timerStart_ + kRetry;
    FUZZ_CHECK(ended_ || endedByAck || finalLeftUnanswered);
    FUZZ_CHECK(closes_ == 1);
  }
  bool FinalSent() const { return finalSent_; }
  size_t Blocks() const { return blocks_; }

 private:
  struct Event {
    enum Kind { Datagram, Stop, SendFails, ReceiveFails, Nothing } kind = Nothing;
    Clock::time_point at;
    std::string bytes;
    net::Endpoint from;
    int err = 0;
  };

  void Owe(Expect::Kind kind, uint16_t code = 0, std::string message = {}) {
    expect_ = {kind, now_, code, std::move(message)};
  }
  // The next block, or the ERROR of a stream that cannot give it.
  void OweBlock() {
    if (stream_.NextReadFails())
      Owe(Expect::Error, tftp::ERR_NOT_DEFINED, "Stream read error");
    else
      Owe(Expect::NewBlock);
  }

  // The last block number the requester has seen (0 before any, and for
  // the OACK).
  uint16_t LastBlock() const { return lastBlock_; }

  // What the requester, a stranger or the owner does next, and when.
  void Decide() {
    static const Clock::duration kDelays[] = {
        milliseconds(0), milliseconds(0), milliseconds(1),  milliseconds(2),
        milliseconds(10), milliseconds(99), milliseconds(100), milliseconds(101),
        milliseconds(700), kRetry - milliseconds(1), kRetry, kRetry + milliseconds(1),
        2 * kRetry, 3 * kRetry, milliseconds(5000), milliseconds(0)};
    const uint8_t choice = in_.U8();
    Event e;
    e.at = now_ + kDelays[choice >> 4];
    if ((choice >> 4) == 15) e.at = now_ + milliseconds(in_.U16());
    e.kind = Event::Datagram;
    e.from = kRequester;
    switch (choice & 15) {
      case 0: case 1: case 2: case 15:  // acknowledge what came last
        e.bytes = Packet(tftp::ACK, LastBlock());
        break;
      case 3:  // acknowledge any block
        e.bytes = Packet(tftp::ACK, in_.U16());
        break;
      case 4:  // acknowledge the block before the last once more
        e.bytes = Packet(tftp::ACK, static_cast<uint16_t>(LastBlock() - 1));
        break;
      case 5:  // any bytes, short and empty ones included
        e.bytes = in_.Take(in_.U8() % 48);
        break;
      case 6: {  // the requester gives up
        const uint16_t code = in_.U8() % 8;
        e.bytes = Packet(tftp::ERROR, code, in_.Take(in_.U8() % 16) + '\0');
        break;
      }
      case 7: {  // any opcode with any operand
        const uint16_t opcode = in_.U8() % 8;
        const uint16_t value = in_.U16();
        e.bytes = Packet(opcode, value, in_.Take(in_.U8() % 16));
        break;
      }
      case 8: {  // a stranger: another port, or the requester's port on another address
        const uint8_t how = in_.U8();
        e.from = how & 1 ? kStrangerAddress : kStrangerPort;
        e.bytes = how & 2 ? in_.Take(in_.U8() % 32) : Packet(tftp::ACK, LastBlock());
        break;
      }
      case 9:  // an empty datagram
        break;
      case 10:  // an acknowledgement longer than any packet of the transfer
        e.bytes = Packet(tftp::ACK, LastBlock());
        e.bytes.resize(blockSize_ + 5 + in_.U16() % 1024, 'x');
        break;
      case 11:
        e.kind = Event::Stop;
        break;
      case 12: {
        static const int kSendErrors[] = {ENOBUFS, EPERM, ENETUNREACH, EHOSTUNREACH};
        e.kind = Event::SendFails;
        e.err = kSendErrors[in_.U8() % 4];
        break;
      }
      case 13: {
        static const int kReceiveErrors[] = {ENOMEM, ECONNREFUSED, ENETDOWN};
        e.kind = Event::ReceiveFails;
        e.err = kReceiveErrors[in_.U8() % 3];
        break;
      }
      case 14:
        e.kind = Event::Nothing;
        break;
    }
    pending_ = std::move(e);
    pendingValid_ = true;
  }

  void Apply(const Event& e) {
    switch (e.kind) {
      case Event::Datagram:
        queued_ = e.bytes;
        queuedFrom_ = e.from;
        queuedValid_ = true;
        break;
      case Event::Stop:
        stopped_ = true;
        stopAt_ = now_;
        thread_->Stop();
        break;
      case Event::SendFails:
        failNextSend_ = e.err;
        break;
      case Event::ReceiveFails:
        queuedError_ = e.err;
        break;
      case Event::Nothing:
        break;
    }
  }

  // The thread read `head` from the requester: what it owes for it.
  void React(const std::string& head) {
    if (head.empty()) return Owe(Expect::Error, tftp::ERR_NOT_DEFINED, "UDP Receive Error = 0.");
    const uint16_t opcode = head.size() >= 2 ? U16At(head, 0) : 0;
    if (head.size() < 2 || (opcode == tftp::ACK && head.size() < 4))
      return Owe(Expect::Error, tftp::ERR_NOT_DEFINED, "Stream read error");
    if (opcode == tftp::ERROR) return Owe(Expect::Error, tftp::ERR_NOT_DEFINED, "Operation aborted");
    if (opcode != tftp::ACK)
      return Owe(Expect::Error, tftp::ERR_ILLEGAL_OPERATION, "Unexpected operation from 127.0.0.1:40000");
    const uint16_t block = U16At(head, 2);
    if (block != outstandingBlock_) return Owe(Expect::Resend);
    if (finalSent_) return Owe(Expect::End);
    OweBlock();
  }

  // A packet the thread sends to the requester; `arrives` false when its
  // send fails.
  void Take(std::string_view p, bool arrives) {
    FUZZ_CHECK(p.size() >= 4);
    const bool atOnce = now_ == expect_.at;
    const bool timedOut = expect_.kind == Expect::Wait && now_ == timerStart_ + kRetry;
    switch (U16At(p, 0)) {
      case tftp::OACK: {
        const std::string expected = std::string("blksize") + '\0' + std::to_string(blockSize_) + '\0' + '\0';
        FUZZ_CHECK(p.substr(2) == expected);
        if (sentAny_) {
          FUZZ_CHECK(outstandingIsOack_);
          Resent(atOnce, timedOut);
          break;
        }
        FUZZ_CHECK(expect_.kind == Expect::Oack && atOnce);
        outstandingIsOack_ = true;
        Restart();
        break;
      }
      case tftp::DATA: {
        const uint16_t block = U16At(p, 2);
        const std::string_view payload = p.substr(4);
        FUZZ_CHECK(payload.size() <= blockSize_);
        if (sentAny_ && !outstandingIsOack_ && block == outstandingBlock_) {
          FUZZ_CHECK(payload == lastPayload_);
          Resent(atOnce, timedOut);
          break;
        }
        FUZZ_CHECK(expect_.kind == Expect::NewBlock && atOnce);
        FUZZ_CHECK(block == static_cast<uint16_t>(outstandingBlock_ + 1));
        const std::string_view expected = file_.substr(std::min(file_.size(), blocks_ * blockSize_), blockSize_);
        FUZZ_CHECK(payload == expected);
        outstandingBlock_ = block;
        outstandingIsOack_ = false;
        lastPayload_ = expected;  // the file's bytes, not the thread's buffer
        ++blocks_;
        if (arrives) {
          lastBlock_ = block;
          finalSent_ = payload.size() < blockSize_;
        }
        Restart();
        break;
      }
      case tftp::ERROR: {
        FUZZ_CHECK(p.size() >= 5 && p.back() == '\0');
        const uint16_t code = U16At(p, 2);
        const std::string_view message = p.substr(4, p.size() - 5);
        if (expect_.kind == Expect::Error && atOnce) {
          FUZZ_CHECK(code == expect_.code && message == expect_.message);
        } else if (stopped_) {
          FUZZ_CHECK(code == tftp::ERR_NOT_DEFINED && message == "Operation aborted");
          FUZZ_CHECK(now_ <= stopAt_ + kStopCheck);
        } else {
          FUZZ_CHECK(timedOut && sends_ == kSettings.sendsBeforeTimeout);
          FUZZ_CHECK(code == tftp::ERR_ILLEGAL_OPERATION && message == "Timeout");
        }
        ended_ = true;
        return;
      }
      default:
        FUZZ_CHECK(!"the send thread sent an opcode of its own invention");
    }
    sentAny_ = true;
    Owe(Expect::Wait);
  }

  // A packet sent anew starts its time-out and its count of sends.
  void Restart() {
    sends_ = 1;
    timerStart_ = now_;
  }
  // The outstanding packet went out again: at once for a stray ACK, which
  // keeps the time-out running; for silence at the time-out, never for the
  // final block, and only as often as the sends allow.
  void Resent(bool atOnce, bool timedOut) {
    if (expect_.kind == Expect::Resend && atOnce) return;
    FUZZ_CHECK(timedOut && !finalSent_ && sends_ < kSettings.sendsBeforeTimeout);
    ++sends_;
    timerStart_ = now_;
  }

  fuzz::Bytes& in_;
  std::string_view file_;
  size_t blockSize_;
  MemoryStream& stream_;
  TftpSendThread* thread_ = nullptr;

  Clock::time_point now_, lastEvent_, timerStart_, stopAt_;
  Expect expect_;
  Event pending_;
  bool pendingValid_ = false;
  // A datagram that has arrived and waits to be read (it may have no bytes).
  bool queuedValid_ = false;
  std::string queued_;
  net::Endpoint queuedFrom_;
  int queuedError_ = 0;  // a receive that fails instead
  int failNextSend_ = 0;
  bool stopped_ = false;
  bool owedStranger_ = false;
  net::Endpoint strangerFrom_;
  int calls_ = 0;
  int closes_ = 0;

  bool sentAny_ = false;
  bool outstandingIsOack_ = false;
  uint16_t outstandingBlock_ = 0;  // 0 for the OACK
  uint16_t lastBlock_ = 0;
  std::string_view lastPayload_;
  size_t blocks_ = 0;
  int sends_ = 0;
  bool finalSent_ = false;
  bool ended_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Bytes in(data, size);
  const int requested = kRequested[in.U8() % std::size(kRequested)];
  const size_t blockSize = static_cast<size_t>(tftp::NegotiatedPacketSize(requested)) - 4;
  const size_t wholeBlocks = in.U8() % (kMaxWholeBlocks + 1);
  const uint8_t tailChoice = in.U8();
  size_t tail = 0;
  switch (tailChoice % 4) {
    case 1: tail = 1; break;
    case 2: tail = blockSize - 1; break;
    case 3: tail = in.U16() % blockSize; break;
  }
  const bool freeOnComplete = (tailChoice & 0x80) == 0;
  const int failingRead = tailChoice & 0x40 ? 1 + in.U8() % (kMaxWholeBlocks + 2) : 0;
  const size_t fileSize = wholeBlocks * blockSize + tail;

  auto stream = std::make_shared<MemoryStream>(fileSize, failingRead);
  struct Report {
    int count = 0;
    bool success = false;
    bool stream = false;
  } report;
  auto link = std::make_unique<World>(in, std::string_view(Pattern()).substr(0, fileSize), blockSize,
                                      requested > 0, *stream);
  World& world = *link;
  {
    TftpSendThread thread(stream, freeOnComplete, kRequester, requested, kSettings,
                          [&report](const TftpTransferCompleteEvent& e) {
                            ++report.count;
                            report.success = e.Success;
                            report.stream = e.AStream != nullptr;
                          },
                          std::move(link));
    world.SetThread(&thread);
    FUZZ_CHECK(thread.RunHere() == 0);
    FUZZ_CHECK(thread.Finished());
    // The world goes with the thread.
    world.CheckEnded();
    FUZZ_CHECK(report.count == 1);
    FUZZ_CHECK(report.success == world.FinalSent());
    if (report.success) FUZZ_CHECK(world.Blocks() == fileSize / blockSize + 1);
    FUZZ_CHECK(report.stream == !freeOnComplete);
    FUZZ_CHECK(stream->closes == (freeOnComplete ? 1 : 0));
  }
  return 0;
}
