#include "TftpServer.h"

#include <algorithm>
#include <cerrno>
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

}  // namespace

// ---------------------------------------------------------------- send thread

TftpSendThread::TftpSendThread(std::shared_ptr<TftpStream> stream, bool freeStreamOnComplete,
                               const net::Endpoint& peer, int requestedBlockSize, const TftpServerSettings& settings,
                               Report report)
    : stream_(std::move(stream)),
      freeStreamOnComplete_(freeStreamOnComplete),
      peer_(peer),
      requestedBlockSize_(requestedBlockSize),
      settings_(settings),
      report_(std::move(report)) {}

TftpSendThread::~TftpSendThread() {
  Stop();
  Join();
}

int TftpSendThread::Start() {
  // Not bound: the system picks the port on the first send.
  if (int err = socket_.OpenUdp(net::Blocking::Yes)) return err;
  try {
    thread_ = std::thread(&TftpSendThread::Execute, this);
  } catch (const std::system_error& e) {
    socket_.Close();
    return e.code().value() ? e.code().value() : EAGAIN;
  }
  return 0;
}

void TftpSendThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TftpSendThread::Execute() {
  tftp::Failure failure;
  bool completed = false;
  try {
    completed = Transfer(&failure);
  } catch (const std::exception& e) {  // e.g. a buffer that cannot be had
    failure = {tftp::ERR_NOT_DEFINED, e.what()};
  }
  if (!completed) {
    std::vector<uint8_t> error = tftp::BuildError(failure.code, failure.message);
    socket_.SendTo(error.data(), error.size(), peer_);
  }
  TftpTransferCompleteEvent event;
  event.Success = endFlag_;
  event.PeerInfo = PeerOf(peer_);
  event.WriteOperation = false;
  if (freeStreamOnComplete_) {
    if (stream_) stream_->Close();
  } else {
    event.AStream = stream_;
  }
  stream_.reset();
  if (report_) report_(event);
  socket_.Close();
  finished_ = true;
}

bool TftpSendThread::Receive(std::vector<uint8_t>& buffer, size_t* got, bool* arrived, tftp::Failure* failure) {
  *arrived = false;
  *got = 0;
  auto deadline = std::chrono::steady_clock::now() + settings_.retryTimeout;
  for (;;) {
    if (stop_) {
      *failure = {tftp::ERR_NOT_DEFINED, kAborted};
      return false;
    }
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    bool ready = false;
    int slice = std::min(Milliseconds(left), static_cast<int>(settings_.stopCheck.count()));
    if (int err = socket_.WaitReadable(std::max(slice, 1), &ready)) {
      *failure = {tftp::ERR_NOT_DEFINED, SocketErrorMessage(err)};
      return false;
    }
    if (!ready) continue;
    net::Datagram datagram;
    const int err = socket_.ReceiveFrom(buffer.data(), buffer.size(), &datagram);
    // A datagram longer than the packet size is judged by its head.
    if (err != 0 && err != EMSGSIZE) {
      *failure = {tftp::ERR_NOT_DEFINED, SocketErrorMessage(err)};
      return false;
    }
    *got = datagram.size;
    *arrived = true;
    return true;
  }
}

bool TftpSendThread::Transfer(tftp::Failure* failure) {
  const int packetSize = tftp::NegotiatedPacketSize(requestedBlockSize_);
  const size_t blockSize = static_cast<size_t>(packetSize - 4);
  std::vector<uint8_t> packet(static_cast<size_t>(packetSize));
  std::vector<uint8_t> incoming(static_cast<size_t>(packetSize));
  size_t outstanding = 0;  // bytes of the packet kept for resending; 0: none
  uint16_t block = 0;
  int retries = 0;
  endFlag_ = false;

  if (requestedBlockSize_ > 0) {
    std::vector<uint8_t> oack = tftp::BuildOack(static_cast<int>(blockSize));
    std::copy(oack.begin(), oack.end(), packet.begin());
    outstanding = oack.size();
  }

  for (;;) {
    if (outstanding == 0) {
      ++block;  // wraps from 65535 to 0
      tftp::PutU16(packet.data(), tftp::DATA);
      tftp::PutU16(packet.data() + 2, block);
      size_t got = 0;
      if (stream_->Read(packet.data() + 4, blockSize, &got) != 0) {
        *failure = {tftp::ERR_NOT_DEFINED, "Stream read error"};
        return false;
      }
      endFlag_ = got < blockSize;
      outstanding = 4 + got;
      retries = 0;
    }
    if (retries == settings_.sendsBeforeTimeout) {
      *failure = {tftp::ERR_ILLEGAL_OPERATION, "Timeout"};
      return false;
    }
    if (int err = socket_.SendTo(packet.data(), outstanding, peer_)) {
      *failure = {tftp::ERR_NOT_DEFINED, SocketErrorMessage(err)};
      return false;
    }
    size_t got = 0;
    bool arrived = false;
    if (!Receive(incoming, &got, &arrived, failure)) return false;
    if (!arrived) {
      // The final block is never sent again: the peer had its chance.
      if (endFlag_) return true;
      ++retries;
      continue;
    }
    if (got == 0) {
      *failure = {tftp::ERR_NOT_DEFINED, "UDP Receive Error = 0."};
      return false;
    }
    uint16_t opcode = got >= 2 ? tftp::GetU16(incoming.data()) : 0;
    if (got < 2 || (opcode == tftp::ACK && got < 4)) {
      *failure = {tftp::ERR_NOT_DEFINED, "Stream read error"};
      return false;
    }
    if (opcode == tftp::ACK) {
      if (tftp::GetU16(incoming.data() + 2) != block) {
        // A duplicate or stray ACK: the same packet goes out again at once,
        // not counted as a retry. This holds for the final block too, so a
        // peer that missed it gets it rather than a transfer that stops.
        continue;
      }
      outstanding = 0;
      if (endFlag_) return true;
      continue;
    }
    if (opcode == tftp::ERROR) {
      *failure = {tftp::ERR_NOT_DEFINED, kAborted};
      return false;
    }
    *failure = tftp::UnexpectedOperation(peer_);
    return false;
  }
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
  }
  return 0;
}

void UdpListener::Join() {
  if (thread_.joinable()) thread_.join();
}

void UdpListener::Execute() {
  std::vector<uint8_t> buffer(tftp::REQUEST_BUFFER_SIZE);
  const int slice = std::max(1, static_cast<int>(stopCheck_.count()));
  while (!stop_) {
    bool ready = false;
    if (socket_.WaitReadable(slice, &ready) != 0) break;
    if (!ready) continue;
    net::Datagram datagram;
    // A zero-byte datagram or a read error ends listening, without an
    // answer; a request longer than the buffer is judged by its head.
    const int err = socket_.ReceiveFrom(buffer.data(), buffer.size(), &datagram);
    if ((err != 0 && err != EMSGSIZE) || datagram.size == 0) break;
    bool keepListening = false;
    if (!handOver_.Run([&] { keepListening = handler_(buffer.data(), datagram.size, datagram.from); })) break;
    if (!keepListening) break;
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
      [this](const uint8_t* data, size_t size, const net::Endpoint& from) { return HandleDatagram(data, size, from); });
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

void TftpServer::ReapFinished() {
  std::vector<std::unique_ptr<TftpSendThread>> done;
  {
    std::lock_guard lock(transfersMutex_);
    auto split = std::stable_partition(transfers_.begin(), transfers_.end(),
                                       [](const auto& t) { return !t->Finished(); });
    std::move(split, transfers_.end(), std::back_inserter(done));
    transfers_.erase(split, transfers_.end());
  }
  for (auto& transfer : done) transfer->Join();
}

bool TftpServer::HandleDatagram(const uint8_t* data, size_t size, const net::Endpoint& from) {
  tftp::Failure failure;
  if (HandleRequest(data, size, from, &failure)) return true;
  std::vector<uint8_t> error = tftp::BuildError(failure.code, failure.message);
  socket_.SendTo(error.data(), error.size(), from);
  // Refusals (access, illegal operation) leave the server serving; any other
  // failure ends it.
  return failure.code != tftp::ERR_NOT_DEFINED;
}

bool TftpServer::HandleRequest(const uint8_t* data, size_t size, const net::Endpoint& from, tftp::Failure* failure) {
  tftp::Request request;
  if (!tftp::ParseRequest(data, size, from, &request, failure)) return false;

  TftpAccessEvent event;
  event.FileName = request.fileName;
  event.PeerInfo = PeerOf(from);
  const AccessHook& hook = request.opcode == tftp::RRQ ? OnReadFile : OnWriteFile;
  if (hook) hook(event);
  if (!event.Failure.empty()) {
    *failure = {tftp::ERR_NOT_DEFINED, event.Failure};
    return false;
  }
  // Nothing is ever received: a granted write request is refused all the same.
  if (!event.GrantAccess || request.opcode != tftp::RRQ || !event.AStream) {
    *failure = {tftp::ERR_ACCESS_VIOLATION, "Access to " + event.FileName + " denied"};
    return false;
  }

  ReapFinished();
  auto transfer = std::make_unique<TftpSendThread>(
      event.AStream, event.FreeStreamOnComplete, from, request.requestedBlockSize, settings_,
      [this](const TftpTransferCompleteEvent& done) {
        handOver_.Run([&] {
          if (OnTransferComplete) OnTransferComplete(done);
        });
      });
  if (int err = transfer->Start()) {
    *failure = {tftp::ERR_NOT_DEFINED, SocketErrorMessage(err)};
    return false;
  }
  std::lock_guard lock(transfersMutex_);
  transfers_.push_back(std::move(transfer));
  return true;
}

}  // namespace quillbox
