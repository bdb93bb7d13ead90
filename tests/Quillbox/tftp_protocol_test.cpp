// The TFTP server at packet level, against a scripted peer on loopback, and
// its send thread alone over a scripted link on a virtual clock.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <atomic>
#include <filesystem>
#include <map>

#include "Failure.h"
#include "TftpPacket.h"
#include "TftpServer.h"
#include "tftp_peer.h"

using namespace tftptest;

namespace {

struct Fetch {
  bool complete = false;
  Bytes content;
  std::vector<size_t> sizes;    // DATA packet sizes
  std::vector<uint16_t> blocks; // DATA block numbers
  Received first;               // the first answer (OACK, DATA or ERROR)
  uint16_t transferPort = 0;
};

// Sends request and acknowledges every block until the short one.
Fetch FetchFile(Peer& peer, uint16_t port, const Bytes& request, size_t maxBlocks = 200) {
  Fetch f;
  peer.SendTo(port, request);
  Received r = peer.Receive();
  f.first = r;
  if (!r.arrived) return f;
  f.transferPort = r.fromPort;
  size_t blockSize = 512;
  if (r.Opcode() == quillbox::tftp::OACK) {
    std::string value(reinterpret_cast<const char*>(r.data.data()) + 10);
    blockSize = std::stoul(value);
    peer.SendTo(r.fromPort, Ack(0));
    r = peer.Receive();
  }
  for (size_t i = 0; i < maxBlocks && r.arrived && r.Opcode() == quillbox::tftp::DATA; ++i) {
    if (!f.blocks.empty() && r.Number() == f.blocks.back()) {
      r = peer.Receive();  // a resend after a slow ACK: already have it
      continue;
    }
    f.sizes.push_back(r.data.size());
    f.blocks.push_back(r.Number());
    f.content.insert(f.content.end(), r.data.begin() + 4, r.data.end());
    peer.SendTo(r.fromPort, Ack(r.Number()));
    if (r.data.size() - 4 < blockSize) {
      f.complete = true;
      break;
    }
    r = peer.Receive();
  }
  return f;
}

void ExpectError(const Received& r, uint16_t code, const std::string& message) {
  ASSERT_TRUE(r.arrived) << "no answer, expected ERROR " << code << " " << message;
  EXPECT_EQ(r.Opcode(), quillbox::tftp::ERROR);
  EXPECT_EQ(r.Number(), code);
  EXPECT_EQ(r.Message(), message);
  EXPECT_EQ(r.data.back(), 0) << "message must end with a zero byte";
}

class TftpServing : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = Pattern(1024);
    filePath_ = dir_.Write("fw.pak", content_);
  }
  ScratchDir dir_;
  Bytes content_;
  std::string filePath_;
};

}  // namespace

TEST_F(TftpServing, DefaultBlockSizeSendsFileAndEndsWaitWithOne) {
  RunningWait wait(filePath_);
  Peer peer;
  Fetch f = FetchFile(peer, wait.Port(), Rrq("fw.pak"));
  ASSERT_TRUE(f.complete);
  EXPECT_EQ(f.sizes, (std::vector<size_t>{516, 516, 4}));
  EXPECT_EQ(f.blocks, (std::vector<uint16_t>{1, 2, 3}));
  EXPECT_EQ(f.content, content_);
  EXPECT_NE(f.transferPort, wait.Port()) << "a transfer runs from a port of its own";
  EXPECT_EQ(wait.WaitResult(), 1);
}

TEST_F(TftpServing, ModesAcceptedInAnyLetterCaseAndOthersRefused) {
  RunningServer wait(filePath_);
  Peer peer;
  for (const char* mode : {"OCTET", "NetAscii", "Binary", "octet"}) {
    peer.SendTo(wait.Port(), Rrq("fw.pak", mode));
    Received r = peer.Receive();
    ASSERT_TRUE(r.arrived) << mode;
    EXPECT_EQ(r.Opcode(), quillbox::tftp::DATA) << mode;
    EXPECT_EQ(r.data.size(), 516u) << mode;
    peer.SendTo(r.fromPort, Bytes{0, 5, 0, 0, 0});  // abandon; the server answers it
    ExpectError(peer.Receive(), 0, "Operation aborted");
  }
  // Refusals of this kind leave the server answering the next request.
  struct Refused {
    Bytes request;
    const char* message;
  };
  for (const Refused& r : {Refused{Rrq("fw.pak", "mail"), "Unsupported transfer mode: \"mail\""},
                           Refused{Rrq("fw.pak", "MaIl"), "Unsupported transfer mode: \"MaIl\""},
                           // A request without a mode is an unsupported mode, not a crash.
                           Refused{Bytes{0, 1, 'f', 'w'}, "Unsupported transfer mode: \"\""}}) {
    SCOPED_TRACE(r.message);
    peer.SendTo(wait.Port(), r.request);
    ExpectError(peer.Receive(), 4, r.message);
  }
  EXPECT_TRUE(FetchFile(peer, wait.Port(), Rrq("fw.pak")).complete);
}

TEST_F(TftpServing, WriteRequestRefusedAndNothingWritten) {
  RunningServer wait(filePath_);
  Peer peer;
  peer.SendTo(wait.Port(), Packet(2, {"a.bin", "octet"}));
  Received r = peer.Receive();
  ExpectError(r, 2, "Access to a.bin denied");
  EXPECT_EQ(r.fromPort, wait.Port()) << "refusals come from the server port";
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "/a.bin"));
  // The wait goes on and still serves.
  Fetch f = FetchFile(peer, wait.Port(), Rrq("fw.pak"));
  EXPECT_TRUE(f.complete);
}

TEST_F(TftpServing, BlockSizeNegotiation) {
  content_ = Pattern(3000);
  dir_.Write("big.bin", content_);
  RunningServer wait(filePath_);
  Peer peer;

  Fetch f = FetchFile(peer, wait.Port(), Rrq("big.bin", "octet", {"blksize", "1024"}));
  ASSERT_TRUE(f.first.arrived);
  Bytes oack = Packet(6, {"blksize", "1024"});
  oack.push_back(0);  // the option list's closing zero
  EXPECT_EQ(f.first.data, oack);
  EXPECT_EQ(f.sizes, (std::vector<size_t>{1028, 1028, 956}));
  EXPECT_EQ(f.content, content_);

  f = FetchFile(peer, wait.Port(), Rrq("big.bin", "octet", {"blksize", "256"}));
  EXPECT_EQ(f.first.Opcode(), quillbox::tftp::OACK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.first.data.data()) + 10), "512");
  EXPECT_EQ(f.sizes.front(), 516u);
  EXPECT_EQ(f.content, content_);

  // Only the first option counts, and only under its lower-case name.
  for (auto options : {std::vector<std::string>{"BLKSIZE", "1024"},
                       std::vector<std::string>{"tsize", "0", "blksize", "1024"},
                       std::vector<std::string>{"blksize", "0"}, std::vector<std::string>{"blksize", "-8"}}) {
    f = FetchFile(peer, wait.Port(), Rrq("big.bin", "octet", options));
    EXPECT_EQ(f.first.Opcode(), quillbox::tftp::DATA) << options[0];
    EXPECT_EQ(f.first.Number(), 1);
    EXPECT_EQ(f.sizes.front(), 516u) << options[0];
    EXPECT_EQ(f.content, content_);
  }

  // Beyond the largest size the block-size option allows the server offers
  // that size rather than a buffer of whatever the peer asked for.
  f = FetchFile(peer, wait.Port(), Rrq("big.bin", "octet", {"blksize", "2000000000"}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.first.data.data()) + 10), "65464");
  EXPECT_EQ(f.content, content_);
  f = FetchFile(peer, wait.Port(), Rrq("big.bin", "octet", {"blksize", "65464"}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.first.data.data()) + 10), "65464");
}

TEST_F(TftpServing, LargestBlockSizeCarriesWholeBlocks) {
  content_ = Pattern(65464 * 2 + 1);
  dir_.Write("huge.bin", content_);
  RunningWait wait(filePath_);
  Peer peer;
  Fetch f = FetchFile(peer, wait.Port(), Rrq("huge.bin", "octet", {"blksize", "99999"}));
  EXPECT_EQ(f.sizes, (std::vector<size_t>{65468, 65468, 5}));
  EXPECT_EQ(f.content, content_);
}

TEST_F(TftpServing, RequestFailuresAnswerCodeZeroAndServingGoesOn) {
  struct Case {
    const char* name;
    Bytes request;
    const char* message;
  };
  const std::vector<Case> cases{
      {"block size that is no number", Rrq("fw.pak", "octet", {"blksize", "12x"}),
       "'12x' is not a valid integer value"},
      {"unknown file", Rrq("missing.pak"), "stream error"},
      {"datagram shorter than an opcode", Bytes{0}, "Stream read error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunningWait wait(filePath_);
    Peer peer;
    peer.SendTo(wait.Port(), c.request);
    ExpectError(peer.Receive(), 0, c.message);
    // One bad request must not end serving for everybody else.
    Peer other;
    Fetch f = FetchFile(other, wait.Port(), Rrq("fw.pak"));
    EXPECT_TRUE(f.complete) << "the listener goes on after such a failure";
    EXPECT_EQ(wait.WaitResult(), 1);
  }
}

TEST_F(TftpServing, ShortageWhileAnsweringARequestFailsThatRequestOnly) {
  RunningServer wait(filePath_);
  std::atomic<int> reads{0};
  wait.BeforeRead([&](quillbox::TftpAccessEvent&) {
    if (reads++ == 0) throw std::bad_alloc();
  });
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("fw.pak"));
  ExpectError(peer.Receive(), 0, "Not enough memory");
  Peer other;
  Fetch f = FetchFile(other, wait.Port(), Rrq("fw.pak"));
  EXPECT_TRUE(f.complete) << "serving goes on after one request could not be had";
  EXPECT_EQ(f.content, content_);
}

TEST_F(TftpServing, BadDatagramsAreAnsweredAndServingGoesOn) {
  RunningWait wait(filePath_);
  Peer peer;
  struct Case {
    Bytes datagram;
    const char* message;
  };
  for (const Case& c : {Case{Bytes{}, "UDP Receive Error = 0."}, Case{Bytes{7}, "Stream read error"}}) {
    SCOPED_TRACE(c.message);
    peer.SendTo(wait.Port(), c.datagram);
    ExpectError(peer.Receive(), 0, c.message);
  }
  Peer other;
  EXPECT_TRUE(FetchFile(other, wait.Port(), Rrq("fw.pak")).complete);
}

TEST_F(TftpServing, RequestsAreReadWholeAndOversizedOnesRefused) {
  RunningServer wait(filePath_);
  Peer peer;
  // Up to the 8192-byte request buffer a request is served; one byte more,
  // or a datagram of near the largest size, is refused rather than cut.
  auto padded = [](size_t size) {
    Bytes request = Rrq("fw.pak");
    request.resize(size, 'x');
    return request;
  };
  peer.SendTo(wait.Port(), padded(8192));
  Received r = peer.Receive();
  EXPECT_EQ(r.Opcode(), quillbox::tftp::DATA);
  peer.SendTo(r.fromPort, Bytes{0, 5, 0, 0, 0});
  ExpectError(peer.Receive(), 0, "Operation aborted");
  for (size_t size : {size_t{8193}, size_t{9000}, size_t{65000}}) {
    SCOPED_TRACE(size);
    peer.SendTo(wait.Port(), padded(size));
    r = peer.Receive();
    ExpectError(r, 4, "Request too large");
    EXPECT_EQ(r.fromPort, wait.Port());
  }
  EXPECT_TRUE(FetchFile(peer, wait.Port(), Rrq("fw.pak")).complete);
}

TEST_F(TftpServing, OverlongAckStillAcknowledges) {
  RunningServer wait(filePath_);
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("fw.pak"));
  Received d1 = peer.Receive();
  ASSERT_EQ(d1.Opcode(), quillbox::tftp::DATA);
  EXPECT_EQ(d1.Number(), 1);
  // An ACK longer than a DATA packet still acknowledges its block.
  Bytes ack = Ack(1);
  ack.insert(ack.end(), 1000, 0);
  peer.SendTo(d1.fromPort, ack);
  Received d2 = peer.Receive();
  EXPECT_EQ(d2.Opcode(), quillbox::tftp::DATA);
  EXPECT_EQ(d2.Number(), 2);
}

TEST_F(TftpServing, UnexpectedOpcodeNamesThePeer) {
  RunningServer wait(filePath_);
  Peer peer("127.0.0.5");
  ASSERT_TRUE(peer.Bound());
  for (uint16_t opcode : {3, 4, 6, 9}) {
    peer.SendTo(wait.Port(), Bytes{0, static_cast<uint8_t>(opcode), 0, 1});
    ExpectError(peer.Receive(), 4, "Unexpected operation from 127.0.0.5:" + std::to_string(peer.Port()));
  }
  // Inside a transfer, a DATA packet from the peer ends it the same way.
  peer.SendTo(wait.Port(), Rrq("fw.pak"));
  Received r = peer.Receive();
  ASSERT_EQ(r.Opcode(), quillbox::tftp::DATA);
  peer.SendTo(r.fromPort, Bytes{0, 3, 0, 1, 'x'});
  ExpectError(peer.Receive(), 4, "Unexpected operation from 127.0.0.5:" + std::to_string(peer.Port()));
  EXPECT_EQ(wait.Completions(), 1);
  EXPECT_FALSE(wait.LastSuccess());
}

TEST_F(TftpServing, DuplicateAckResendsAtOnce) {
  quillbox::TtftpSettings settings = FastSettings();
  settings.server.retryTimeout = 5000ms;  // a resend by time-out would come far later
  RunningWait wait(filePath_, settings);
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("fw.pak"));
  Received d1 = peer.Receive();
  peer.SendTo(d1.fromPort, Ack(1));
  Received d2 = peer.Receive();
  ASSERT_EQ(d2.Number(), 2);
  peer.SendTo(d1.fromPort, Ack(1));  // duplicate
  Received again = peer.Receive(2000ms);
  ASSERT_TRUE(again.arrived);
  EXPECT_EQ(again.data, d2.data);
  peer.SendTo(d1.fromPort, Ack(2));
  Received d3 = peer.Receive();
  EXPECT_EQ(d3.Number(), 3);
  EXPECT_EQ(d3.data.size(), 4u);
  // Also the final block: a peer that says it missed it gets it again.
  peer.SendTo(d1.fromPort, Ack(2));
  EXPECT_EQ(peer.Receive(2000ms).data, d3.data);
  peer.SendTo(d1.fromPort, Ack(3));
  EXPECT_EQ(wait.WaitResult(), 1);
}

TEST_F(TftpServing, NoAckMeansThreeSendsThenTimeout) {
  RunningWait wait(filePath_);  // retry time-out 300 ms
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("fw.pak"));
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    Received r = peer.Receive();
    ASSERT_EQ(r.Opcode(), quillbox::tftp::DATA) << "send " << i;
    EXPECT_EQ(r.Number(), 1);
  }
  ExpectError(peer.Receive(), 4, "Timeout");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 850ms);
  EXPECT_FALSE(peer.Receive(500ms).arrived) << "nothing after the ERROR";
  EXPECT_EQ(wait.WaitResult(), 1);
}

TEST_F(TftpServing, OackIsRetriedLikeData) {
  RunningWait wait(filePath_);
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("fw.pak", "octet", {"blksize", "1024"}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(peer.Receive().Opcode(), quillbox::tftp::OACK);
  ExpectError(peer.Receive(), 4, "Timeout");
}

TEST_F(TftpServing, FinalBlockNotResentAfterSilence) {
  dir_.Write("small.bin", Pattern(100));
  RunningWait wait(filePath_);
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("small.bin"));
  Received r = peer.Receive();
  EXPECT_EQ(r.data.size(), 104u);
  EXPECT_FALSE(peer.Receive(1200ms).arrived);
  EXPECT_EQ(wait.WaitResult(), 1);
}

TEST_F(TftpServing, EmptyFileAndExactMultipleEndWithEmptyBlock) {
  dir_.Write("empty.bin", {});
  dir_.Write("exact.bin", Pattern(512));
  RunningServer wait(filePath_);
  Peer peer;
  Fetch f = FetchFile(peer, wait.Port(), Rrq("exact.bin"));
  EXPECT_EQ(f.sizes, (std::vector<size_t>{516, 4}));
  f = FetchFile(peer, wait.Port(), Rrq("empty.bin"));
  EXPECT_EQ(f.sizes, (std::vector<size_t>{4}));
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(wait.Completions(2), 2);
  EXPECT_TRUE(wait.LastSuccess());
}

TEST_F(TftpServing, PeerErrorAfterOackIsAnsweredAndEndsWait) {
  RunningWait wait(filePath_);
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("fw.pak", "octet", {"blksize", "256"}));
  Received oack = peer.Receive();
  ASSERT_EQ(oack.Opcode(), quillbox::tftp::OACK);
  peer.SendTo(oack.fromPort, Packet(5, {}));  // rough ERROR: code bytes missing
  Bytes error{0, 5, 0, 8};
  error.insert(error.end(), {'n', 'o', 0});
  peer.SendTo(oack.fromPort, error);
  ExpectError(peer.Receive(), 0, "Operation aborted");
  EXPECT_FALSE(peer.Receive(500ms).arrived);
  EXPECT_EQ(wait.WaitResult(), 1);
}

TEST_F(TftpServing, ConcurrentTransfersAreCapped) {
  quillbox::TtftpSettings settings = FastSettings();
  settings.server.retryTimeout = 20000ms;  // every transfer stays open
  RunningServer wait(filePath_, settings);
  std::vector<std::unique_ptr<Peer>> peers;
  std::vector<uint16_t> transferPorts;
  int refused = 0;
  for (int i = 0; i < 40; ++i) {
    peers.push_back(std::make_unique<Peer>());
    peers.back()->SendTo(wait.Port(), Rrq("fw.pak"));
    Received r = peers.back()->Receive();
    if (r.Opcode() == quillbox::tftp::DATA) transferPorts.push_back(r.fromPort);
    if (r.Opcode() == quillbox::tftp::ERROR) {
      ++refused;
      EXPECT_EQ(r.Number(), 0);
      EXPECT_EQ(r.Message(), "Too many transfers");
      EXPECT_EQ(r.fromPort, wait.Port());
    }
  }
  EXPECT_EQ(transferPorts.size(), 32u);
  EXPECT_EQ(refused, 8);
  // A transfer that ends makes room for the next request.
  ASSERT_FALSE(transferPorts.empty());
  peers.front()->SendTo(transferPorts.front(), Bytes{0, 5, 0, 0, 0});
  ExpectError(peers.front()->Receive(), 0, "Operation aborted");
  EXPECT_EQ(wait.Completions(), 1);
  Peer next;
  EXPECT_EQ(FetchFile(next, wait.Port(), Rrq("fw.pak")).first.Opcode(), quillbox::tftp::DATA);
}

TEST_F(TftpServing, OnlyTheTransfersOwnPeerMayAnswer) {
  quillbox::TtftpSettings settings = FastSettings();
  settings.server.retryTimeout = 5000ms;  // no resend by time-out during the test
  RunningWait wait(filePath_, settings);
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("fw.pak"));
  Received d1 = peer.Receive();
  ASSERT_EQ(d1.Opcode(), quillbox::tftp::DATA);
  // Another port on the same address, and the same port on another address.
  Peer otherPort;
  Peer otherAddress("127.0.0.2", peer.Port());
  ASSERT_TRUE(otherAddress.Bound());
  for (Peer* intruder : {&otherPort, &otherAddress}) {
    for (const Bytes& packet : {Ack(1), Bytes{0, 5, 0, 0, 'n', 'o', 0}}) {
      intruder->SendTo(d1.fromPort, packet);
      Received r = intruder->Receive();
      ExpectError(r, 5, "Unknown transfer ID");
      EXPECT_EQ(r.fromPort, d1.fromPort) << "answered from the transfer's port";
    }
  }
  EXPECT_FALSE(peer.Receive(200ms).arrived) << "the intruders neither advanced nor ended the transfer";
  peer.SendTo(d1.fromPort, Ack(1));
  Received d2 = peer.Receive();
  EXPECT_EQ(d2.Opcode(), quillbox::tftp::DATA);
  EXPECT_EQ(d2.Number(), 2);
  EXPECT_EQ(wait.WaitResult(100ms), -1) << "the transfer goes on";
}

TEST_F(TftpServing, StrayAcksDoNotHoldATransferOpen) {
  // Retry time-out 300 ms: three sends, then "Timeout", within about a
  // second, whatever stray ACKs arrive meanwhile.
  for (bool fromOwnPeer : {false, true}) {
    SCOPED_TRACE(fromOwnPeer ? "duplicate ACKs from the peer" : "ACKs from another port");
    RunningServer wait(filePath_);
    Peer peer, other;
    peer.SendTo(wait.Port(), Rrq("fw.pak"));
    Received r = peer.Receive();
    ASSERT_EQ(r.Opcode(), quillbox::tftp::DATA);
    const auto start = std::chrono::steady_clock::now();
    Peer& stray = fromOwnPeer ? peer : other;
    bool timedOut = false;
    while (!timedOut && std::chrono::steady_clock::now() - start < 3000ms) {
      stray.SendTo(r.fromPort, Ack(0));
      Received got = peer.Receive(100ms);
      timedOut = got.Opcode() == quillbox::tftp::ERROR && got.Message() == "Timeout";
    }
    EXPECT_TRUE(timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1600ms);
  }
}

TEST_F(TftpServing, RepeatedRequestStartsIndependentTransfer) {
  RunningServer wait(filePath_);
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("fw.pak"));
  Received a = peer.Receive();
  peer.SendTo(wait.Port(), Rrq("fw.pak"));
  Received b = peer.Receive();
  ASSERT_EQ(a.Opcode(), quillbox::tftp::DATA);
  ASSERT_EQ(b.Opcode(), quillbox::tftp::DATA);
  EXPECT_NE(a.fromPort, b.fromPort);
}

TEST(TftpWrap, BlockNumbersWrapAfter65535) {
  ScratchDir dir;
  const size_t blocks = 65537;
  Bytes content = Pattern(blocks * 512 - 200);
  dir.Write("wrap.bin", content);
  quillbox::TtftpSettings settings = FastSettings();
  settings.server.retryTimeout = 3000ms;  // slow builds must not turn into resends
  settings.timerInterval = 300s;          // nor into the end of the wait
  RunningWait wait(dir.Path() + "/fw.pak", settings);
  Peer peer;
  Fetch f = FetchFile(peer, wait.Port(), Rrq("wrap.bin"), blocks + 1000);
  ASSERT_TRUE(f.complete);
  ASSERT_EQ(f.blocks.size(), blocks);
  EXPECT_EQ(f.blocks[65533], 65534);
  EXPECT_EQ(f.blocks[65534], 65535);
  EXPECT_EQ(f.blocks[65535], 0);
  EXPECT_EQ(f.blocks[65536], 1);
  EXPECT_TRUE(f.content == content);
}

// ------------------------------------------- a send thread over a scripted link

namespace {

using Clock = quillbox::TftpSendLink::Clock;
const net::Endpoint kLinkPeer{htonl(INADDR_LOOPBACK), 40000};

class BytesStream final : public quillbox::TftpStream {
 public:
  explicit BytesStream(Bytes bytes) : bytes_(std::move(bytes)) {}
  int Read(uint8_t* buffer, size_t size, size_t* got) override {
    *got = std::min(size, bytes_.size() - pos_);
    std::copy_n(bytes_.begin() + static_cast<long>(pos_), *got, buffer);
    pos_ += *got;
    return 0;
  }
  void Close() override {}

 private:
  Bytes bytes_;
  size_t pos_ = 0;
};

// What a thread sent, and when (on the link's virtual clock, from the start).
struct LinkSend {
  Clock::duration at;
  Bytes packet;
  int result;  // what the send returned
};

// The requester's side of one transfer, without a network and on a virtual
// clock: each datagram arrives at its moment, the chosen sends fail.
class ScriptedLink final : public quillbox::TftpSendLink {
 public:
  struct Arrival {
    Clock::duration at;
    Bytes datagram;
  };
  ScriptedLink(std::vector<Arrival> arrivals, std::map<size_t, int> failingSends, std::vector<LinkSend>* sent)
      : arrivals_(std::move(arrivals)), failingSends_(std::move(failingSends)), sent_(sent) {}
  int Open() override { return 0; }
  void Close() override {}
  int SendTo(const uint8_t* data, size_t size, const net::Endpoint& to) override {
    EXPECT_TRUE(to == kLinkPeer);
    auto failing = failingSends_.find(sent_->size());
    const int result = failing == failingSends_.end() ? 0 : failing->second;
    sent_->push_back({now_ - kStart, Bytes(data, data + size), result});
    return result;
  }
  int WaitReadable(int timeoutMs, bool* ready) override {
    const Clock::time_point end = now_ + std::chrono::milliseconds(timeoutMs);
    *ready = next_ < arrivals_.size() && kStart + arrivals_[next_].at <= end;
    now_ = *ready ? std::max(now_, kStart + arrivals_[next_].at) : end;
    return 0;
  }
  int ReceiveFrom(uint8_t* buffer, size_t capacity, net::Datagram* datagram) override {
    const Bytes& d = arrivals_.at(next_++).datagram;
    datagram->size = std::min(capacity, d.size());
    std::copy_n(d.begin(), datagram->size, buffer);
    datagram->from = kLinkPeer;
    return 0;
  }
  Clock::time_point Now() override { return now_; }

 private:
  static constexpr Clock::time_point kStart{std::chrono::hours(1)};
  std::vector<Arrival> arrivals_;
  std::map<size_t, int> failingSends_;
  std::vector<LinkSend>* sent_;
  size_t next_ = 0;
  Clock::time_point now_ = kStart;
};

struct LinkTransfer {
  std::vector<LinkSend> sent;
  int reports = 0;
  bool success = false;
};

// A whole transfer of `file` at the default block size and the default
// time-outs, on the calling thread.
LinkTransfer RunOverLink(const Bytes& file, std::vector<ScriptedLink::Arrival> arrivals,
                         std::map<size_t, int> failingSends = {}) {
  LinkTransfer t;
  quillbox::TftpSendThread thread(
      std::make_shared<BytesStream>(file), true, kLinkPeer, 0, quillbox::TftpServerSettings{},
      [&t](const quillbox::TftpTransferCompleteEvent& e) {
        ++t.reports;
        t.success = e.Success;
      },
      std::make_unique<ScriptedLink>(std::move(arrivals), std::move(failingSends), &t.sent));
  EXPECT_EQ(thread.RunHere(), 0);
  return t;
}

}  // namespace

TEST(TftpSendOverLink, ResendsAtEachTimeOutThenTimesOutOnTheVirtualClock) {
  LinkTransfer t = RunOverLink(Pattern(600), {});
  ASSERT_EQ(t.sent.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(t.sent[i].at, static_cast<int>(i) * 1500ms) << "send " << i;
    EXPECT_EQ(U16(t.sent[i].packet, 0), quillbox::tftp::DATA);
    EXPECT_EQ(U16(t.sent[i].packet, 2), 1);
  }
  EXPECT_EQ(t.sent[3].at, 4500ms);
  EXPECT_EQ(t.sent[3].packet, Packet(5, {std::string("\0\4Timeout", 9)}));
  EXPECT_EQ(t.reports, 1);
  EXPECT_FALSE(t.success);
}

TEST(TftpSendOverLink, FinalBlockThatCannotBeSentIsNoSuccess) {
  for (size_t size : {100u, 600u}) {
    SCOPED_TRACE(size);
    // The final block is the first send for 100 bytes, the second (after
    // the ACK of block 1 at 10 ms) for 600.
    const size_t finalSend = size / 512;
    LinkTransfer t = RunOverLink(Pattern(size), {{10ms, Ack(1)}}, {{finalSend, ENOBUFS}});
    ASSERT_EQ(t.sent.size(), finalSend + 2);
    EXPECT_EQ(t.sent[finalSend].packet.size(), 4 + size % 512);
    const Bytes& error = t.sent.back().packet;
    EXPECT_EQ(U16(error, 0), quillbox::tftp::ERROR);
    EXPECT_EQ(U16(error, 2), 0);
    EXPECT_EQ(std::string(error.begin() + 4, error.end() - 1), quillbox::SocketErrorMessage(ENOBUFS));
    EXPECT_EQ(t.reports, 1);
    EXPECT_FALSE(t.success) << "the peer never got the final block";
  }
  // The same transfer with every send going out succeeds.
  LinkTransfer t = RunOverLink(Pattern(600), {{10ms, Ack(1)}, {20ms, Ack(2)}});
  EXPECT_EQ(t.sent.size(), 2u);
  EXPECT_TRUE(t.success);
}

TEST(TftpSendOverLink, ReportThatCannotBeMadeStillEndsTheTransfer) {
  std::vector<LinkSend> sent;
  quillbox::TftpSendThread thread(
      std::make_shared<BytesStream>(Pattern(100)), true, kLinkPeer, 0, quillbox::TftpServerSettings{},
      [](const quillbox::TftpTransferCompleteEvent&) { throw std::bad_alloc(); },
      std::make_unique<ScriptedLink>(std::vector<ScriptedLink::Arrival>{{10ms, Ack(1)}},
                                     std::map<size_t, int>{}, &sent));
  int started = -1;
  EXPECT_NO_THROW(started = thread.RunHere()) << "nothing may leave the transfer's thread";
  EXPECT_EQ(started, 0);
  EXPECT_TRUE(thread.Ended());
  EXPECT_TRUE(thread.Finished()) << "the server would never reap it";
}

// ---------------------------------------------------------------- confinement

class TftpConfinement : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = scratch_.Path();
    served_ = scratch_.Write("fw/fw.pak", Pattern(600, 1));
    scratch_.Write("fw/sub/inner.bin", Pattern(10, 2));
    scratch_.Write("fw-private/secret.bin", Pattern(10, 3));
    std::filesystem::create_symlink(base_ + "/fw-private/secret.bin", base_ + "/fw/escape");
    std::filesystem::create_symlink("fw.pak", base_ + "/fw/alias");
  }
  ScratchDir scratch_;
  std::string base_;
  std::string served_;
};

TEST_F(TftpConfinement, ServesOnlyInsideTheFolderOfTheGivenFile) {
  RunningServer wait(served_);
  Peer peer;
  for (const std::string& name : {std::string("fw.pak"), base_ + "/fw/fw.pak", std::string("sub/../fw.pak"),
                                  std::string("alias"), std::string("sub/inner.bin"), base_ + "/fw/./sub/inner.bin"}) {
    Fetch f = FetchFile(peer, wait.Port(), Rrq(name));
    EXPECT_TRUE(f.complete) << name;
  }
  for (const std::string& name :
       {std::string("../fw-private/secret.bin"), base_ + "/fw-private/secret.bin", std::string("escape"),
        base_ + "/fw/../fw-private/secret.bin", std::string("/etc/passwd"), std::string("."), base_ + "/fw",
        std::string("../nothing-here"), base_ + "/fw-private/nothing-here", std::string("")}) {
    peer.SendTo(wait.Port(), Rrq(name));
    ExpectError(peer.Receive(), 2, "Access to " + name + " denied");
  }
  // A directory inside is no file to send.
  peer.SendTo(wait.Port(), Rrq("sub"));
  ExpectError(peer.Receive(), 0, "stream error");
}

TEST_F(TftpConfinement, OutsideFilesCannotBeProbed) {
  // Links inside that lead out, absolute and relative; behind them a name
  // that exists outside and one that does not must get the same answer.
  std::filesystem::create_directory_symlink(base_ + "/fw-private", base_ + "/fw/out");
  std::filesystem::create_directory_symlink("../fw-private", base_ + "/fw/outrel");
  scratch_.Write("outside.bin", Pattern(10, 4));
  for (const std::string link : {"out", "outrel", "sub/../out"}) {
    for (const std::string rest : {"/../outside.bin", "/../no-such.bin", "/secret.bin", "/no-such.bin"}) {
      const std::string name = link + rest;
      SCOPED_TRACE(name);
      RunningServer wait(served_);
      Peer peer;
      peer.SendTo(wait.Port(), Rrq(name));
      ExpectError(peer.Receive(), 2, "Access to " + name + " denied");
    }
  }
}

TEST_F(TftpConfinement, RenamesElsewhereNeverTurnANameInsideAway) {
  // The system's confined lookup of ".." gives up (EAGAIN) whenever
  // anything on the machine is renamed meanwhile; a name that stays inside
  // must still be served, and one that leads out still refused.
  const std::string a = base_ + "/elsewhere-a", b = base_ + "/elsewhere-b";
  scratch_.Write("elsewhere-a", Pattern(1, 5));
  std::atomic<bool> done{false};
  std::thread renamer([&] {
    while (!done) {
      std::rename(a.c_str(), b.c_str());
      std::rename(b.c_str(), a.c_str());
    }
  });
  std::string inside = "fw.pak", outside = "../fw-private/secret.bin";
  for (int i = 0; i < 100; ++i) {
    inside = "sub/../" + inside;
    outside = "sub/../" + outside;
  }
  int refused = 0, served = 0;
  const quillbox::TftpFolder folder = quillbox::TftpFolder::OfFile(served_);
  for (int i = 0; i < 2000; ++i) {
    std::unique_ptr<quillbox::TftpFileStream> file;
    if (folder.Open(inside, &file) != quillbox::TftpFolder::Verdict::Inside) ++refused;
    if (folder.Open(outside, &file) != quillbox::TftpFolder::Verdict::Outside) ++served;
  }
  done = true;
  renamer.join();
  EXPECT_EQ(refused, 0) << "names inside refused";
  EXPECT_EQ(served, 0) << "names outside not refused";
}

TEST_F(TftpConfinement, SwappedSubFolderNeverLeadsOutside) {
  // "sub" is swapped, again and again, between a real folder and a link to
  // a folder outside that holds a file of the same name.
  scratch_.Write("fw-private/inner.bin", Pattern(10, 9));
  const std::string sub = base_ + "/fw/sub";
  const std::string link = base_ + "/fw/sub-link";
  std::filesystem::create_directory_symlink(base_ + "/fw-private", link);
  std::atomic<bool> done{false};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    while (!done) {
      if (::syscall(SYS_renameat2, AT_FDCWD, sub.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
    }
  });
  const Bytes inside = Pattern(10, 2);
  for (auto lookup : {quillbox::TftpFolder::Lookup::Kernel, quillbox::TftpFolder::Lookup::Walk}) {
    SCOPED_TRACE(lookup == quillbox::TftpFolder::Lookup::Kernel ? "system lookup" : "own walk");
    const quillbox::TftpFolder folder = quillbox::TftpFolder::OfFile(served_, lookup);
    int leaked = 0, served = 0;
    const int before = swaps;
    // On a loaded machine the swapper may not have run yet: go on (bounded)
    // until it has swapped often enough for the lookups to have met it.
    for (int i = 0; i < 3000 || (swaps - before <= 100 && i < 300000); ++i) {
      if (i >= 3000) std::this_thread::yield();
      quillbox::TftpAccessEvent event;
      event.FileName = "sub/inner.bin";
      quillbox::ReadFromFolder(folder, event);
      if (!event.AStream) continue;
      Bytes got(64);
      size_t n = 0;
      ASSERT_EQ(event.AStream->Read(got.data(), got.size(), &n), 0);
      got.resize(n);
      if (got == inside) ++served;
      else ++leaked;
    }
    EXPECT_EQ(leaked, 0) << "of " << served + leaked << " files handed out";
    EXPECT_GT(swaps - before, 100);
  }
  done = true;
  swapper.join();
  // At rest, with the real folder in place, the file is served.
  if (std::filesystem::is_symlink(sub)) {
    ASSERT_EQ(::syscall(SYS_renameat2, AT_FDCWD, sub.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE), 0);
  }
  for (auto lookup : {quillbox::TftpFolder::Lookup::Kernel, quillbox::TftpFolder::Lookup::Walk}) {
    quillbox::TftpAccessEvent event;
    event.FileName = "sub/inner.bin";
    quillbox::ReadFromFolder(quillbox::TftpFolder::OfFile(served_, lookup), event);
    EXPECT_TRUE(event.AStream);
  }
}

TEST_F(TftpConfinement, FolderRules) {
  using quillbox::TftpFolder;
  using Verdict = TftpFolder::Verdict;
  std::filesystem::create_directory_symlink(base_ + "/fw-private", base_ + "/fw/out");
  std::filesystem::create_directory_symlink("sub", base_ + "/fw/sublink");
  std::filesystem::create_symlink("../fw.pak", base_ + "/fw/sub/up");
  std::filesystem::create_symlink("loop", base_ + "/fw/loop");
  std::filesystem::create_directory_symlink("../fw-private", base_ + "/fw/outrel");
  struct Case {
    std::string name;
    Verdict verdict;
  };
  const std::vector<Case> cases{
      {"fw.pak", Verdict::Inside},
      {served_, Verdict::Inside},
      {"alias", Verdict::Inside},
      {"sub/inner.bin", Verdict::Inside},
      {"sublink/inner.bin", Verdict::Inside},
      {"sub/up", Verdict::Inside},
      {"sub/../fw.pak", Verdict::Inside},
      {"./sub//inner.bin", Verdict::Inside},
      {base_ + "/fw/./sub/inner.bin", Verdict::Inside},
      {"absent.pak", Verdict::Missing},
      {"sub", Verdict::Missing},
      // A final slash asks for a folder: never the file of that name.
      {"fw.pak/", Verdict::Missing},
      {"alias/", Verdict::Missing},
      {"sub/", Verdict::Missing},
      {"loop", Verdict::Missing},
      {"no-dir/../fw.pak", Verdict::Missing},
      {"../fw-private", Verdict::Outside},
      {"escape", Verdict::Outside},
      {"out/secret.bin", Verdict::Outside},
      {"out/../fw/fw.pak", Verdict::Outside},
      {"out/../no-such.bin", Verdict::Outside},
      {"outrel/secret.bin", Verdict::Outside},
      {"outrel/../no-such.bin", Verdict::Outside},
      {"sub/../../fw/fw.pak", Verdict::Outside},
      {".", Verdict::Outside},
      {"sub/..", Verdict::Outside},
      {base_ + "/fw", Verdict::Outside},
      {base_ + "/fw-other/x", Verdict::Outside},
      {"/etc/passwd", Verdict::Outside},
      {"", Verdict::Outside},
  };
  for (TftpFolder::Lookup lookup : {TftpFolder::Lookup::Kernel, TftpFolder::Lookup::Walk}) {
    SCOPED_TRACE(lookup == TftpFolder::Lookup::Kernel ? "system lookup" : "own walk");
    const TftpFolder folder = TftpFolder::OfFile(served_, lookup);
    for (const Case& c : cases) {
      std::unique_ptr<quillbox::TftpFileStream> file;
      EXPECT_EQ(folder.Open(c.name, &file), c.verdict) << c.name;
      EXPECT_EQ(file != nullptr, c.verdict == Verdict::Inside) << c.name;
    }
    // What is opened is the file named.
    std::unique_ptr<quillbox::TftpFileStream> file;
    ASSERT_EQ(folder.Open("sub/up", &file), Verdict::Inside);
    Bytes got(1000);
    size_t n = 0;
    ASSERT_EQ(file->Read(got.data(), got.size(), &n), 0);
    got.resize(n);
    EXPECT_TRUE(got == Pattern(600, 1));
  }
  std::unique_ptr<quillbox::TftpFileStream> file;
  // The given file need not exist; its folder must.
  EXPECT_EQ(TftpFolder::OfFile(base_ + "/fw/not-yet.pak").Open("fw.pak", &file), Verdict::Inside);
  TftpFolder none = TftpFolder::OfFile(base_ + "/no-such-dir/fw.pak");
  EXPECT_EQ(none.Open("fw.pak", &file), Verdict::Outside);
  EXPECT_EQ(none.Open(served_, &file), Verdict::Outside);
  // Through a symlinked folder the real folder counts.
  std::filesystem::create_directory_symlink(base_ + "/fw", base_ + "/fwlink");
  EXPECT_EQ(TftpFolder::OfFile(base_ + "/fwlink/fw.pak").Open(served_, &file), Verdict::Inside);
}

TEST_F(TftpConfinement, FifoIsRefusedWithoutBlocking) {
  ASSERT_EQ(::mkfifo((base_ + "/fw/pipe").c_str(), 0600), 0);
  RunningWait wait(served_);
  Peer peer;
  peer.SendTo(wait.Port(), Rrq("pipe"));
  ExpectError(peer.Receive(), 0, "stream error");
  EXPECT_EQ(wait.Close(), 2);
}

// -------------------------------------------------------------- end of a wait

TEST(TftpWaitEnd, RunningTransfersAreStoppedAndPeersTold) {
  ScratchDir dir;
  std::string path = dir.Write("fw.pak", Pattern(4000));
  quillbox::TtftpSettings settings = FastSettings();
  settings.server.retryTimeout = 20000ms;  // the transfer would otherwise sit for long
  auto start = std::chrono::steady_clock::now();
  {
    RunningWait wait(path, settings);
    Peer a, b;
    a.SendTo(wait.Port(), Rrq("fw.pak"));
    b.SendTo(wait.Port(), Rrq("fw.pak", "octet", {"blksize", "1024"}));
    EXPECT_EQ(a.Receive().Opcode(), quillbox::tftp::DATA);
    EXPECT_EQ(b.Receive().Opcode(), quillbox::tftp::OACK);
    EXPECT_EQ(wait.Close(), 2);
    ExpectError(a.Receive(), 0, "Operation aborted");
    ExpectError(b.Receive(), 0, "Operation aborted");
    EXPECT_FALSE(a.Receive(300ms).arrived);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10000ms) << "stopping must not wait out the time-out";
}

TEST(TftpWaitEnd, FirstCompletionEndsWaitOthersAreStopped) {
  ScratchDir dir;
  std::string path = dir.Write("fw.pak", Pattern(2000));
  quillbox::TtftpSettings settings = FastSettings();
  settings.server.retryTimeout = 20000ms;
  RunningWait wait(path, settings);
  Peer slow, quick;
  slow.SendTo(wait.Port(), Rrq("fw.pak"));
  ASSERT_EQ(slow.Receive().Opcode(), quillbox::tftp::DATA);
  Fetch f = FetchFile(quick, wait.Port(), Rrq("fw.pak"));
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(wait.WaitResult(), 1);
  ExpectError(slow.Receive(), 0, "Operation aborted");
}

TEST(TftpWaitEnd, TimerEndsWaitWithOneAndCancelBeforeShowGivesTwo) {
  ScratchDir dir;
  quillbox::TtftpSettings settings = FastSettings();
  settings.timerInterval = 200ms;
  auto start = std::chrono::steady_clock::now();
  RunningWait wait(dir.Path() + "/fw.pak", settings);
  EXPECT_EQ(wait.WaitResult(), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);

  quillbox::TtftpForm form(nullptr, dir.Path() + "/fw.pak", FastSettings());
  form.Create();
  form.Cancel();
  EXPECT_EQ(form.ShowModal(), 2);
}

TEST(TftpWaitEnd, BindFailureStillWaits) {
  Peer holder("0.0.0.0");
  ASSERT_TRUE(holder.Bound());
  ScratchDir dir;
  quillbox::TtftpSettings settings = FastSettings();
  settings.server.port = holder.Port();
  settings.timerInterval = 200ms;
  quillbox::TtftpForm form(nullptr, dir.Path() + "/fw.pak", settings);
  form.Create();
  EXPECT_EQ(form.BindFailure(), "Could not bind socket. Address and port are already in use.");
  EXPECT_EQ(form.ServerPort(), 0);
  EXPECT_EQ(form.ShowModal(), 1);

  // The server reports it as the socket failure it is.
  quillbox::TftpHandOver handOver;
  quillbox::TftpServer server(handOver, settings.server);
  const quillbox::Failure f = server.Activate();
  EXPECT_EQ(f.kind, quillbox::FailureKind::Socket);
  EXPECT_EQ(f.code, EADDRINUSE);
  EXPECT_EQ(f.message, form.BindFailure());
  handOver.Close();
}
