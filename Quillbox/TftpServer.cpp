#include "TftpServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>

namespace quillbox {
namespace {

TPeerInfo PeerOf(const net::Endpoint& peer) { return {net::FormatIpv4(peer.ip), peer.port}; }

int Milliseconds(std::chrono::steady_clock::duration d) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 1000000));
}

const char kAborted[] = "Operation aborted";
const char kUnknownTransfer[] = "Unknown transfer ID";

// A transfer's own socket, not bound: the system picks the port on the
// first send.
class UdpSendLink final : public TftpSendLink {
 public:
  int Open() override { return socket_.OpenUdp(net::Blocking::Yes); }
  void Close() override { socket_.Close(); }
  int SendTo(const uint8_t* data, size_t size, const net::Endpoint& to) override {
    return socket_.SendTo(data, size, to);
  }
  int WaitReadable(int timeoutMs, bool* ready) override { return socket_.WaitReadable(timeoutMs, ready); }
  int ReceiveFrom(uint8_t* buffer, size_t capacity, net::Datagram* datagram) override {
    return socket_.ReceiveFrom(buffer, capacity, datagram);
  }
  Clock::time_point Now() override { return Clock::now(); }

 private:
  net::Socket socket_;
};

}  // namespace

// ---------------------------------------------------------------- send thread

TftpSendThread::TftpSendThread(std::shared_ptr<TftpStream> stream, bool freeStreamOnComplete,
                               const net::Endpoint& peer, int requestedBlockSize, const TftpServerSettings& settings,
                               Report report, std::unique_ptr<TftpSendLink> link)
    : stream_(std::move(stream)),
      freeStreamOnComplete_(freeStreamOnComplete),
      peer_(peer),
      requestedBlockSize_(requestedBlockSize),
      settings_(settings),
      report_(std::move(report)),
      link_(link ? std::move(link) : std::make_unique<UdpSendLink>()) {}

TftpSendThread::~TftpSendThread() {
  Stop();
  Join();
}

int TftpSendThread::Start() {
  if (int err = link_->Open()) return err;
  try {
    thread_ = std::thread(&TftpSendThread::Execute, this);
  } catch (const std::system_error& e) {
    link_->Close();
    return e.code().value() ? e.code().value() : EAGAIN;
  } catch (const std::exception&) {  // the thread's own state could not be had
    link_->Close();
    return ENOMEM;
  }
  return 0;
}

int TftpSendThread::RunHere() {
  if (int err = link_->Open()) return err;
  Execute();
  return 0;
}

void TftpSendThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TftpSendThread::Execute() {
  tftp::ErrorPacket error;
  bool completed = false;
  try {
    completed = Transfer(&error);
  } catch (const std::exception& e) {  // e.g. a buffer that cannot be had
    error = {tftp::ERR_NOT_DEFINED, e.what()};
  }
  // Nothing may leave a thread: without memory for the ERROR the peer's own
  // timeout tells it, and without memory for the report the owner learns the
  // end from Ended() alone.
  if (!completed) {
    try {
      std::vector<uint8_t> packet = tftp::BuildError(error.code, error.message);
      link_->SendTo(packet.data(), packet.size(), peer_);
    } catch (const std::exception&) {
    }
  }
  ended_ = true;
  try {
    ReportEnd();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TFTP transfer: the end could not be reported: %s\n", e.what());
  }
  stream_.reset();
  link_->Close();
  finished_ = true;
}

void TftpSendThread::ReportEnd() {
  TftpTransferCompleteEvent event;
  event.Success = endFlag_;
  event.WriteOperation = false;
  if (freeStreamOnComplete_) {
    if (stream_) stream_->Close();
  } else {
    event.AStream = stream_;
  }
  event.PeerInfo = PeerOf(peer_);
  if (report_) report_(event);
}

bool TftpSendThread::Receive(std::vector<uint8_t>& buffer, size_t* got, bool* arrived, tftp::ErrorPacket* error) {
  *arrived = false;
  *got = 0;
  const auto deadline = progress_.deadline;
  for (;;) {
    if (stop_) {
      *error = {tftp::ERR_NOT_DEFINED, kAborted};
      return false;
    }
    auto left = deadline - link_->Now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    bool ready = false;
    int slice = std::min(Milliseconds(left), static_cast<int>(settings_.stopCheck.count()));
    if (int err = link_->WaitReadable(std::max(slice, 1), &ready)) {
      *error = {tftp::ERR_NOT_DEFINED, SocketErrorMessage(err)};
      return false;
    }
    if (!ready) continue;
    net::Datagram datagram;
    const int err = link_->ReceiveFrom(buffer.data(), buffer.size(), &datagram);
    // A datagram longer than the packet size is judged by its head.
    if (err != 0 && err != EMSGSIZE) {
      *error = {tftp::ERR_NOT_DEFINED, SocketErrorMessage(err)};
      return false;
    }
    if (!(datagram.from == peer_)) {
      // Not this transfer's peer (RFC 1350's transfer ID is its address and
      // port): it may neither acknowledge nor abort, and gets told so.
      const std::vector<uint8_t> refusal = tftp::BuildError(tftp::ERR_UNKNOWN_TRANSFER_ID, kUnknownTransfer);
      link_->SendTo(refusal.data(), refusal.size(), datagram.from);
      continue;
    }
    *got = datagram.size;
    *arrived = true;
    return true;
  }
}

TftpSendThread::State TftpSendThread::Fail(tftp::ErrorPacket* error, tftp::ErrorPacket what) {
  *error = std::move(what);
  return State::Failed;
}

bool TftpSendThread::Transfer(tftp::ErrorPacket* error) {
  const size_t packetSize = static_cast<size_t>(tftp::NegotiatedPacketSize(requestedBlockSize_));
  progress_ = Progress{};
  progress_.blockSize = packetSize - 4;
  progress_.packet.resize(packetSize);
  progress_.incoming.resize(packetSize);
  endFlag_ = false;
  State state = State::Start;
  Incoming in;
  for (;;) {
    state = Dispatch(state, in, error);
    if (state == State::Done) return true;
    if (state == State::Failed) return false;
    if (!NextEvent(&in, error)) return false;
  }
}

TftpSendThread::State TftpSendThread::Dispatch(State state, const Incoming& in, tftp::ErrorPacket* error) {
  switch (state) {
    case State::Start:
      return OnStart(error);
    case State::AwaitingAck:
      return OnAwaitingAck(in, error);
    case State::Done:
    case State::Failed:
      break;
  }
  return state;
}

TftpSendThread::State TftpSendThread::OnStart(tftp::ErrorPacket* error) {
  if (requestedBlockSize_ <= 0) return SendNextBlock(error);
  const std::vector<uint8_t> oack = tftp::BuildOack(static_cast<int>(progress_.blockSize));
  std::copy(oack.begin(), oack.end(), progress_.packet.begin());
  progress_.outstanding = oack.size();
  return Transmit(error);
}

TftpSendThread::State TftpSendThread::OnAwaitingAck(const Incoming& in, tftp::ErrorPacket* error) {
  switch (in.event) {
    case Event::Ack:
      // A duplicate or stray ACK: the same packet goes out again at once, not
      // counted as a retry. This holds for the final block too, so a peer
      // that missed it gets it rather than a transfer that stops. Its
      // time-out runs on: a stream of such ACKs ends in "Timeout" all the
      // same.
      if (in.block != progress_.block) return Transmit(error, false);
      if (endFlag_) return State::Done;
      return SendNextBlock(error);
    case Event::Silence:
      // The final block is never sent again: the peer had its chance.
      if (endFlag_) return State::Done;
      ++progress_.retries;
      return Transmit(error);
    case Event::PeerError:
      return Fail(error, {tftp::ERR_NOT_DEFINED, kAborted});
    case Event::Empty:
      return Fail(error, {tftp::ERR_NOT_DEFINED, "UDP Receive Error = 0."});
    case Event::Malformed:
      return Fail(error, {tftp::ERR_NOT_DEFINED, "Stream read error"});
    case Event::Other:
      return Fail(error, tftp::UnexpectedOperation(peer_));
    case Event::Begin:
      break;
  }
  return State::AwaitingAck;
}

TftpSendThread::State TftpSendThread::SendNextBlock(tftp::ErrorPacket* error) {
  ++progress_.block;
  uint8_t* packet = progress_.packet.data();
  tftp::PutU16(packet, tftp::DATA);
  tftp::PutU16(packet + 2, progress_.block);
  size_t got = 0;
  if (stream_->Read(packet + 4, progress_.blockSize, &got) != 0)
    return Fail(error, {tftp::ERR_NOT_DEFINED, "Stream read error"});
  progress_.outstanding = 4 + got;
  progress_.retries = 0;
  const State next = Transmit(error);
  // A transfer succeeds only once its final block is out: one whose send
  // failed has given the peer nothing to end with.
  endFlag_ = got < progress_.blockSize && next != State::Failed;
  return next;
}

TftpSendThread::State TftpSendThread::Transmit(tftp::ErrorPacket* error, bool restartTimer) {
  if (progress_.retries == settings_.sendsBeforeTimeout)
    return Fail(error, {tftp::ERR_ILLEGAL_OPERATION, "Timeout"});
  if (int err = link_->SendTo(progress_.packet.data(), progress_.outstanding, peer_))
    return Fail(error, {tftp::ERR_NOT_DEFINED, SocketErrorMessage(err)});
  if (restartTimer) progress_.deadline = link_->Now() + settings_.retryTimeout;
  return State::AwaitingAck;
}

bool TftpSendThread::NextEvent(Incoming* in, tftp::ErrorPacket* error) {
  size_t got = 0;
  bool arrived = false;
  if (!Receive(progress_.incoming, &got, &arrived, error)) return false;
  const uint8_t* data = progress_.incoming.data();
  const uint16_t opcode = got >= 2 ? tftp::GetU16(data) : 0;
  if (!arrived) {
    *in = {Event::Silence};
  } else if (got == 0) {
    *in = {Event::Empty};
  } else if (got < 2 || (opcode == tftp::ACK && got < 4)) {
    *in = {Event::Malformed};
  } else if (opcode == tftp::ACK) {
    *in = {Event::Ack, tftp::GetU16(data + 2)};
  } else if (opcode == tftp::ERROR) {
    *in = {Event::PeerError};
  } else {
    *in = {Event::Other};
  }
  return true;
}

// ------------------------------------------------------------------- listener

UdpListener::UdpListener(net::Socket& socket, TftpHandOver& handOver, std::chrono::milliseconds stopCheck,
                         Handler handler)
    : socket_(socket), handOver_(handOver), stopCheck_(stopCheck), handler_(std::move(handler)) {}

UdpListener::~UdpListener() {
  Stop();
  Join();
}

int UdpListener::Start() {
  try {
    thread_ = std::thread(&UdpListener::Execute, this);
  } catch (const std::system_error& e) {
    return e.code().value() ? e.code().value() : EAGAIN;
  } catch (const std::exception&) {
    return ENOMEM;
  }
  return 0;
}

void UdpListener::Join() {
  if (thread_.joinable()) thread_.join();
}

void UdpListener::Execute() {
  try {
    Listen();
  } catch (const std::exception& e) {
    // No memory for the buffer: nothing is served, and the wait ends at its
    // own time as when no device asks.
    std::fprintf(stderr, "TFTP listener: %s\n", e.what());
  }
}

void UdpListener::Listen() {
  std::vector<uint8_t> buffer(tftp::MAX_DATAGRAM_SIZE);
  const int slice = std::max(1, static_cast<int>(stopCheck_.count()));
  while (!stop_) {
    bool ready = false;
    if (socket_.WaitReadable(slice, &ready) != 0) break;
    if (!ready) continue;
    net::Datagram datagram;
    const int err = socket_.ReceiveFrom(buffer.data(), buffer.size(), &datagram);
    // A failed read concerns one datagram (a pending error report, say), not
    // the server: listening goes on. Nothing fits an IPv4 datagram that does
    // not fit the buffer; should one come, it counts as the largest.
    if (err != 0 && err != EMSGSIZE) continue;
    const size_t size = err == EMSGSIZE ? buffer.size() : datagram.size;
    if (!handOver_.Run([&] { handler_(buffer.data(), size, datagram.from); })) break;
  }
}

// --------------------------------------------------------------------- server

TftpServer::TftpServer(TftpHandOver& handOver, const TftpServerSettings& settings)
    : handOver_(handOver), settings_(settings) {}

TftpServer::~TftpServer() { Deactivate(); }

Failure TftpServer::Activate() {
  if (listener_) return {};
  if (int err = socket_.OpenUdp(net::Blocking::Yes)) return Failure::SocketError(err);
  if (int err = socket_.Bind({htonl(INADDR_ANY), settings_.port})) {
    socket_.Close();
    if (err == EADDRINUSE)
      return {FailureKind::Socket, err, "Could not bind socket. Address and port are already in use."};
    return Failure::SocketError(err);
  }
  boundPort_ = socket_.LocalPort();
  listener_ = std::make_unique<UdpListener>(
      socket_, handOver_, settings_.stopCheck,
      [this](const uint8_t* data, size_t size, const net::Endpoint& from) { HandleDatagram(data, size, from); });
  if (int err = listener_->Start()) {
    listener_.reset();
    socket_.Close();
    return Failure::SocketError(err);
  }
  return {};
}

void TftpServer::Deactivate() {
  if (listener_) {
    listener_->Stop();
    listener_->Join();
    listener_.reset();
  }
  std::vector<std::unique_ptr<TftpSendThread>> running;
  {
    std::lock_guard lock(transfersMutex_);
    running.swap(transfers_);
  }
  for (auto& transfer : running) transfer->Stop();
  for (auto& transfer : running) transfer->Join();
  running.clear();
  socket_.Close();
}

size_t TftpServer::ReapFinished() {
  std::vector<std::unique_ptr<TftpSendThread>> done;
  size_t running = 0;
  {
    std::lock_guard lock(transfersMutex_);
    auto split = std::stable_partition(transfers_.begin(), transfers_.end(),
                                       [](const auto& t) { return !t->Finished(); });
    std::move(split, transfers_.end(), std::back_inserter(done));
    transfers_.erase(split, transfers_.end());
    running = static_cast<size_t>(
        std::count_if(transfers_.begin(), transfers_.end(), [](const auto& t) { return !t->Ended(); }));
  }
  for (auto& transfer : done) transfer->Join();
  return running;
}

void TftpServer::HandleDatagram(const uint8_t* data, size_t size, const net::Endpoint& from) {
  tftp::ErrorPacket error;
  try {
    if (HandleRequest(data, size, from, &error)) return;
  } catch (const std::exception&) {  // a shortage is this request's failure only
    error = {tftp::ERR_NOT_DEFINED, "Not enough memory"};
  }
  // Every failure is the sender's alone: it gets its ERROR, and the server
  // goes on serving everybody else.
  try {
    std::vector<uint8_t> packet = tftp::BuildError(error.code, error.message);
    socket_.SendTo(packet.data(), packet.size(), from);
  } catch (const std::exception&) {
  }
}

bool TftpServer::HandleRequest(const uint8_t* data, size_t size, const net::Endpoint& from, tftp::ErrorPacket* error) {
  if (size == 0) {
    *error = {tftp::ERR_NOT_DEFINED, "UDP Receive Error = 0."};
    return false;
  }
  if (size > tftp::REQUEST_BUFFER_SIZE) {
    *error = {tftp::ERR_ILLEGAL_OPERATION, "Request too large"};
    return false;
  }
  tftp::Request request;
  if (!tftp::ParseRequest(data, size, from, &request, error)) return false;
  // Before the file is opened: a refused request costs nothing.
  if (request.opcode == tftp::RRQ && ReapFinished() >= settings_.maxTransfers) {
    *error = {tftp::ERR_NOT_DEFINED, "Too many transfers"};
    return false;
  }

  TftpAccessEvent event;
  event.FileName = request.fileName;
  event.PeerInfo = PeerOf(from);
  const AccessHook& hook = request.opcode == tftp::RRQ ? OnReadFile : OnWriteFile;
  if (hook) hook(event);
  if (!event.Failure.empty()) {
    *error = {tftp::ERR_NOT_DEFINED, event.Failure};
    return false;
  }
  // Nothing is ever received: a granted write request is refused all the same.
  if (!event.GrantAccess || request.opcode != tftp::RRQ || !event.AStream) {
    *error = {tftp::ERR_ACCESS_VIOLATION, "Access to " + event.FileName + " denied"};
    return false;
  }

  auto transfer = std::make_unique<TftpSendThread>(
      event.AStream, event.FreeStreamOnComplete, from, request.requestedBlockSize, settings_,
      [this](const TftpTransferCompleteEvent& done) {
        handOver_.Run([&] {
          if (OnTransferComplete) OnTransferComplete(done);
        });
      });
  if (int err = transfer->Start()) {
    *error = {tftp::ERR_NOT_DEFINED, SocketErrorMessage(err)};
    return false;
  }
  std::lock_guard lock(transfersMutex_);
  transfers_.push_back(std::move(transfer));
  return true;
}

}  // namespace quillbox
