// Whatever reaches the port of a TFTP send thread while it serves a read
// request: ACKs right and wrong, ERRORs, other opcodes, short and empty
// datagrams, silence, and datagrams from a stranger's port. The target
// plays the requester (and the stranger) over loopback inside the private
// network namespace and checks everything the thread sends:
//   - only OACK (first, when a block size was asked), DATA and ERROR, all
//     from one port;
//   - DATA n+1 only after ACK n, each block the file's next bytes, a resend
//     the same bytes, nothing new after the short final block;
//   - nothing at all after an ERROR, and every transfer ends with an ERROR
//     or its final block sent;
//   - exactly one completion report, successful exactly when the final
//     block went out, and the stream closed by whoever owns it;
//   - a stranger gets one ERROR "unknown transfer ID" per datagram and
//     changes nothing (its ACKs acknowledge nothing).
// Input: block-size choice, file-size choice, stream ownership, then
// actions, each an opcode byte and its operands.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "FuzzSupport.h"
#include "TftpPacket.h"
#include "TftpServer.h"

using namespace quillbox;
using Clock = std::chrono::steady_clock;

namespace {

class MemoryStream final : public TftpStream {
 public:
  explicit MemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}
  int Read(uint8_t* buffer, size_t size, size_t* got) override {
    *got = std::min(size, bytes_.size() - pos_);
    std::memcpy(buffer, bytes_.data() + pos_, *got);
    pos_ += *got;
    return 0;
  }
  void Close() override { closed = true; }
  std::atomic<bool> closed{false};

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

// Requested block sizes: none, the RFC's range and its edges, and beyond.
constexpr int kRequested[] = {0, 0, 1, 8, 511, 512, 513, 1024, 1428, 4096, 65464, 65465, 1 << 20, -7};

// What the requester has seen so far, checked packet by packet.
struct Requester {
  std::string file;
  size_t blockSize = 0;
  bool oackExpected = false;
  bool sawPacket = false;
  net::Endpoint thread;
  uint16_t lastBlock = 0;
  size_t blocks = 0;  // distinct DATA blocks received
  std::string lastPayload;
  bool finalSeen = false;
  bool errorSeen = false;
  std::set<uint16_t> acked;  // block numbers this requester has acknowledged

  void Take(const uint8_t* p, size_t size, const net::Endpoint& from) {
    FUZZ_CHECK(!errorSeen);  // nothing follows an ERROR
    if (sawPacket) FUZZ_CHECK(from == thread);
    thread = from;
    sawPacket = true;
    FUZZ_CHECK(size >= 4);
    switch (tftp::GetU16(p)) {
      case tftp::OACK: {
        FUZZ_CHECK(oackExpected && blocks == 0);
        const std::string expected = std::to_string(blockSize);
        FUZZ_CHECK(size == 2 + 8 + expected.size() + 2);
        FUZZ_CHECK(std::memcmp(p + 2, "blksize", 8) == 0);
        FUZZ_CHECK(std::memcmp(p + 10, expected.data(), expected.size()) == 0);
        FUZZ_CHECK(p[size - 2] == 0 && p[size - 1] == 0);
        break;
      }
      case tftp::DATA: {
        const uint16_t block = tftp::GetU16(p + 2);
        const std::string payload(reinterpret_cast<const char*>(p + 4), size - 4);
        FUZZ_CHECK(payload.size() <= blockSize);
        if (blocks > 0 && block == lastBlock) {
          FUZZ_CHECK(payload == lastPayload);  // a resend
          break;
        }
        FUZZ_CHECK(!finalSeen);
        FUZZ_CHECK(block == static_cast<uint16_t>(lastBlock + 1));
        // Block 1 follows an ACK 0 of the OACK; every later one the ACK of
        // the block before.
        if (block != 1 || oackExpected) FUZZ_CHECK(acked.count(lastBlock) != 0);
        FUZZ_CHECK(payload == file.substr(blocks * blockSize, blockSize));
        ++blocks;
        lastBlock = block;
        lastPayload = payload;
        finalSeen = payload.size() < blockSize;
        break;
      }
      case tftp::ERROR: {
        const uint16_t code = tftp::GetU16(p + 2);
        FUZZ_CHECK(code == tftp::ERR_NOT_DEFINED || code == tftp::ERR_ILLEGAL_OPERATION);
        FUZZ_CHECK(size >= 5 && p[size - 1] == 0);
        errorSeen = true;
        break;
      }
      default:
        FUZZ_CHECK(!"the send thread sent an opcode of its own invention");
    }
  }
};

struct Report {
  std::mutex mutex;  // guards the fields below
  int count = 0;
  bool success = false;
  bool stream = false;
};

net::Socket g_requester;
uint16_t g_requesterPort = 0;
net::Socket g_stranger;
std::vector<uint8_t> g_buffer(70000);

// Takes every datagram queued for the requester; waits up to waitMs for the
// first unless `until` already holds.
template <typename Until>
void Drain(Requester& r, int waitMs, Until until) {
  const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
  bool got = false;
  for (;;) {
    net::Datagram d;
    const int err = g_requester.ReceiveFrom(g_buffer.data(), g_buffer.size(), &d);
    if (err == 0) {
      r.Take(g_buffer.data(), d.size, d.from);
      got = true;
      continue;
    }
    FUZZ_CHECK(err == EAGAIN || err == EWOULDBLOCK);
    if (got || until() || Clock::now() >= end) return;
    bool ready = false;
    g_requester.WaitReadable(1, &ready);
  }
}

// What the stranger gets for its datagram: one ERROR "unknown transfer
// ID" from the thread's port, unless the thread ended before reading it.
void StrangerAnswer(const Requester& r, const TftpSendThread& thread) {
  const auto end = Clock::now() + std::chrono::milliseconds(500);
  int answers = 0;
  for (;;) {
    net::Datagram d;
    const int err = g_stranger.ReceiveFrom(g_buffer.data(), g_buffer.size(), &d);
    if (err == 0) {
      FUZZ_CHECK(d.from == r.thread);
      FUZZ_CHECK(d.size >= 5 && tftp::GetU16(g_buffer.data()) == tftp::ERROR);
      FUZZ_CHECK(tftp::GetU16(g_buffer.data() + 2) == tftp::ERR_UNKNOWN_TRANSFER_ID);
      FUZZ_CHECK(++answers == 1);
      continue;
    }
    FUZZ_CHECK(err == EAGAIN || err == EWOULDBLOCK);
    if (answers == 1 || thread.Finished() || Clock::now() >= end) return;
    bool ready = false;
    g_stranger.WaitReadable(1, &ready);
  }
}

void SendToThread(const Requester& r, const std::string& bytes) {
  FUZZ_CHECK(g_requester.SendTo(bytes.data(), bytes.size(), r.thread) == 0);
}

std::string Packet(uint16_t opcode, uint16_t value, const std::string& tail = "") {
  std::string p(4, '\0');
  tftp::PutU16(reinterpret_cast<uint8_t*>(p.data()), opcode);
  tftp::PutU16(reinterpret_cast<uint8_t*>(p.data()) + 2, value);
  return p + tail;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::RequirePrivateNetwork();
  FUZZ_CHECK(g_requester.OpenUdp() == 0);
  uint32_t loopback = htonl(INADDR_LOOPBACK);
  FUZZ_CHECK(g_requester.Bind({loopback, 0}) == 0);
  // Room for several of the largest blocks, so loopback never drops one.
  g_requester.SetReceiveBuffer(4 * 1024 * 1024);
  g_requesterPort = g_requester.LocalPort();
  FUZZ_CHECK(g_stranger.OpenUdp() == 0);
  FUZZ_CHECK(g_stranger.Bind({loopback, 0}) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Bytes in(data, size);
  const int requested = kRequested[in.U8() % std::size(kRequested)];
  Requester r;
  r.blockSize = static_cast<size_t>(tftp::NegotiatedPacketSize(requested)) - 4;
  r.oackExpected = requested > 0;
  const size_t wholeBlocks = in.U8() % 4;
  const uint8_t tailChoice = in.U8();
  size_t tail = 0;
  switch (tailChoice % 4) {
    case 1: tail = 1; break;
    case 2: tail = r.blockSize - 1; break;
    case 3: tail = in.U16() % r.blockSize; break;
  }
  r.file.resize(wholeBlocks * r.blockSize + tail);
  for (size_t i = 0; i < r.file.size(); ++i) r.file[i] = static_cast<char>(i * 131 + i / 251);
  const bool freeOnComplete = (tailChoice & 0x80) == 0;

  // Drop anything a previous input left queued.
  for (net::Datagram d; g_requester.ReceiveFrom(g_buffer.data(), g_buffer.size(), &d) == 0;) {
  }
  for (net::Datagram d; g_stranger.ReceiveFrom(g_buffer.data(), g_buffer.size(), &d) == 0;) {
  }

  auto stream = std::make_shared<MemoryStream>(r.file);
  Report report;
  TftpServerSettings settings;
  settings.retryTimeout = std::chrono::milliseconds(40);
  settings.stopCheck = std::chrono::milliseconds(2);
  {
    TftpSendThread thread(stream, freeOnComplete, {htonl(INADDR_LOOPBACK), g_requesterPort}, requested,
                          settings, [&report](const TftpTransferCompleteEvent& e) {
                            std::lock_guard lock(report.mutex);
                            ++report.count;
                            report.success = e.Success;
                            report.stream = e.AStream != nullptr;
                          });
    FUZZ_CHECK(thread.Start() == 0);
    auto finished = [&thread] { return thread.Finished(); };
    // The first packet (OACK or DATA 1) tells the thread's port.
    Drain(r, 2000, finished);
    FUZZ_CHECK(r.sawPacket);

    for (int step = 0; step < 64 && in.Left() > 0 && !thread.Finished(); ++step) {
      const uint8_t action = in.U8();
      switch (action % 7) {
        case 0:  // acknowledge what came last
          r.acked.insert(r.lastBlock);
          SendToThread(r, Packet(tftp::ACK, r.lastBlock));
          break;
        case 1: {  // acknowledge any block
          const uint16_t block = in.U16();
          r.acked.insert(block);
          SendToThread(r, Packet(tftp::ACK, block));
          break;
        }
        case 2: {  // any bytes, short and empty ones included
          const std::string bytes = in.Take(in.U8() % 48);
          // An ACK opcode with a block number is an acknowledgement.
          if (bytes.size() >= 4 && tftp::GetU16(reinterpret_cast<const uint8_t*>(bytes.data())) == tftp::ACK)
            r.acked.insert(tftp::GetU16(reinterpret_cast<const uint8_t*>(bytes.data()) + 2));
          SendToThread(r, bytes);
          break;
        }
        case 3:  // the requester gives up
          SendToThread(r, Packet(tftp::ERROR, in.U8() % 8, in.Take(in.U8() % 16) + '\0'));
          break;
        case 4: {  // any opcode with any operand
          const uint16_t opcode = static_cast<uint16_t>(in.U8() % 8);
          const uint16_t value = in.U16();
          if (opcode == tftp::ACK) r.acked.insert(value);
          SendToThread(r, Packet(opcode, value, in.Take(in.U8() % 16)));
          break;
        }
        case 5:  // silence: the thread sends again or gives up
          Drain(r, 150, [] { return false; });
          continue;
        case 6: {  // a stranger's datagram: an ACK of the block out, or anything
          std::string bytes = in.U8() & 1 ? Packet(tftp::ACK, r.lastBlock) : in.Take(in.U8() % 32);
          FUZZ_CHECK(g_stranger.SendTo(bytes.data(), bytes.size(), r.thread) == 0);
          StrangerAnswer(r, thread);
          Drain(r, 0, finished);
          continue;
        }
      }
      Drain(r, 500, finished);
      // A reaction may still be on its way when the thread ends.
      if (thread.Finished()) Drain(r, 0, finished);
    }
    thread.Stop();
    thread.Join();
    Drain(r, 0, [] { return true; });
  }

  std::lock_guard lock(report.mutex);
  FUZZ_CHECK(report.count == 1);
  FUZZ_CHECK(r.errorSeen || r.finalSeen);
  FUZZ_CHECK(report.success == r.finalSeen);
  if (report.success) FUZZ_CHECK(r.blocks == r.file.size() / r.blockSize + 1);
  FUZZ_CHECK(report.stream == !freeOnComplete);
  FUZZ_CHECK(stream->closed == freeOnComplete);
  return 0;
}
