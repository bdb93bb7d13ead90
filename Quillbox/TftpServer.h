#pragma once
// A small TFTP server that serves read requests (write requests are handed
// to a hook, which may refuse them). The listener takes requests on the
// server port; each accepted read request is carried out by a send thread
// from a port of its own. Requests and completion reports are handed to the
// thread that runs the TftpHandOver, one at a time; the hooks run there.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Failure.h"
#include "TftpHandOver.h"
#include "TftpPacket.h"
#include "TftpStream.h"
#include "net/Socket.h"

namespace quillbox {

struct TPeerInfo {
  std::string PeerIP;
  uint16_t PeerPort = 0;
};

// OnReadFile / OnWriteFile. The hook may change FileName (the refusal names
// it), must set GrantAccess, and for a read hands over AStream. A non-empty
// Failure ends the request with ERROR code 0 and that text; the server goes
// on with the next request.
struct TftpAccessEvent {
  std::string FileName;
  TPeerInfo PeerInfo;
  bool GrantAccess = true;
  std::shared_ptr<TftpStream> AStream;
  bool FreeStreamOnComplete = true;
  std::string Failure;
};

struct TftpTransferCompleteEvent {
  bool Success = false;
  TPeerInfo PeerInfo;
  std::shared_ptr<TftpStream> AStream;  // none when the transfer closed it
  bool WriteOperation = false;
};

struct TftpServerSettings {
  uint16_t port = 69;  // 0: any free port (see BoundPort)
  std::chrono::milliseconds retryTimeout{1500};
  int sendsBeforeTimeout = 3;
  // How long the threads wait at most before looking at their stop flags.
  std::chrono::milliseconds stopCheck{100};
  // Transfers running at once; a request beyond them is refused, so that no
  // peer can make the server take threads and descriptors without bound.
  size_t maxTransfers = 32;
};

// What a send thread does on the network, and the clock its time-outs run
// on. A transfer knows nothing else of the world, so that a test can drive
// the whole exchange, time-outs included, without a network and without
// waiting; the thread's own is a UDP socket and the steady clock.
class TftpSendLink {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~TftpSendLink() = default;
  // 0 or an errno value.
  virtual int Open() = 0;
  virtual void Close() = 0;
  // As net::Socket's calls of the same names.
  virtual int SendTo(const uint8_t* data, size_t size, const net::Endpoint& to) = 0;
  virtual int WaitReadable(int timeoutMs, bool* ready) = 0;
  virtual int ReceiveFrom(uint8_t* buffer, size_t capacity, net::Datagram* datagram) = 0;
  virtual Clock::time_point Now() = 0;
};

// One transfer of a read request: OACK when a block size was asked for, then
// DATA blocks, each sent until acknowledged. The exchange is a state machine:
// each event the peer's side brings (an ACK, silence, an ERROR, ...) is
// dispatched on the state the transfer is in and leads to the next state.
class TftpSendThread {
 public:
  using Report = std::function<void(const TftpTransferCompleteEvent&)>;

  // Without a link the transfer goes over a UDP socket of its own.
  TftpSendThread(std::shared_ptr<TftpStream> stream, bool freeStreamOnComplete, const net::Endpoint& peer,
                 int requestedBlockSize, const TftpServerSettings& settings, Report report,
                 std::unique_ptr<TftpSendLink> link = nullptr);
  ~TftpSendThread();  // stops and joins
  TftpSendThread(const TftpSendThread&) = delete;
  TftpSendThread& operator=(const TftpSendThread&) = delete;

  // 0 or an errno value (socket or thread could not be made).
  int Start();
  // The whole transfer on the calling thread instead, report included; 0
  // or the errno value of a link that could not be opened.
  int RunHere();
  // Ends the transfer soon; the peer gets one ERROR code 0.
  void Stop() { stop_ = true; }
  void Join();
  // True once the transfer no longer counts as running (its report may
  // still be on its way); Finished once the thread may be joined.
  bool Ended() const { return ended_; }
  bool Finished() const { return finished_; }

 private:
  enum class State {
    Start,        // nothing sent yet
    AwaitingAck,  // the outstanding packet is out and waits for its ACK
    Done,         // the final block went out and its wait is over
    Failed,       // ends with one ERROR packet to the peer
  };
  enum class Event {
    Begin,      // the transfer starts
    Ack,        // an ACK with the block number in Incoming
    Silence,    // nothing arrived within the retry time-out
    PeerError,  // an ERROR packet
    Empty,      // a datagram of no bytes
    Malformed,  // too short for its opcode
    Other,      // any other opcode, DATA included
  };
  struct Incoming {
    Event event = Event::Begin;
    uint16_t block = 0;
  };
  // What the transfer keeps between events.
  struct Progress {
    std::vector<uint8_t> packet;  // the outstanding packet, kept for resending
    size_t outstanding = 0;       // its length
    std::vector<uint8_t> incoming;
    size_t blockSize = 0;
    uint16_t block = 0;  // wraps from 65535 to 0
    int retries = 0;
    // When the outstanding packet counts as unanswered: set when it is sent
    // anew or resent for silence, kept when a stray ACK makes it go out
    // again, so that stray ACKs cannot hold a transfer open.
    std::chrono::steady_clock::time_point deadline;
  };

  void Execute();
  void ReportEnd();  // the completion event, stream handed over or closed
  // Runs the exchange; false with *error when it ended by a failure.
  bool Transfer(tftp::ErrorPacket* error);
  State Dispatch(State state, const Incoming& in, tftp::ErrorPacket* error);
  State OnStart(tftp::ErrorPacket* error);
  State OnAwaitingAck(const Incoming& in, tftp::ErrorPacket* error);
  // Reads the next block from the stream into a DATA packet and sends it.
  State SendNextBlock(tftp::ErrorPacket* error);
  // Sends the outstanding packet unless its sends are used up; restartTimer
  // false keeps the time-out running.
  State Transmit(tftp::ErrorPacket* error, bool restartTimer = true);
  static State Fail(tftp::ErrorPacket* error, tftp::ErrorPacket what);
  // Waits for what the peer does next; false with *error on a stop or a
  // socket failure.
  bool NextEvent(Incoming* in, tftp::ErrorPacket* error);
  // Waits until the outstanding packet's deadline for a datagram from the
  // transfer's own peer (address and port); any other sender is told
  // "Unknown transfer ID" and the wait goes on. 0 bytes in *got when none
  // came. false with *error on a socket error or a stop.
  bool Receive(std::vector<uint8_t>& buffer, size_t* got, bool* arrived, tftp::ErrorPacket* error);

  std::shared_ptr<TftpStream> stream_;
  bool freeStreamOnComplete_;
  net::Endpoint peer_;
  int requestedBlockSize_;
  TftpServerSettings settings_;
  Report report_;
  std::unique_ptr<TftpSendLink> link_;
  // Touched only by the thread.
  Progress progress_;
  bool endFlag_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// Takes datagrams on the server port and hands each one over, waiting until
// it has been handled.
class UdpListener {
 public:
  // Handles one datagram on the handing-over thread. A datagram is handed
  // over whole, however bad: what it gets is the handler's business, and
  // listening goes on.
  using Handler = std::function<void(const uint8_t* data, size_t size, const net::Endpoint& from)>;

  UdpListener(net::Socket& socket, TftpHandOver& handOver, std::chrono::milliseconds stopCheck, Handler handler);
  ~UdpListener();  // stops and joins
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  int Start();
  void Stop() { stop_ = true; }
  void Join();

 private:
  void Execute();
  void Listen();

  net::Socket& socket_;
  TftpHandOver& handOver_;
  std::chrono::milliseconds stopCheck_;
  Handler handler_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class TftpServer {
 public:
  using AccessHook = std::function<void(TftpAccessEvent&)>;
  using CompleteHook = std::function<void(const TftpTransferCompleteEvent&)>;

  // The thread serving handOver runs the hooks. handOver must be closed (or
  // still be served) before the server is deactivated or destroyed, since
  // its threads may be waiting in it.
  TftpServer(TftpHandOver& handOver, const TftpServerSettings& settings);
  ~TftpServer();
  TftpServer(const TftpServer&) = delete;
  TftpServer& operator=(const TftpServer&) = delete;

  // Set before Activate.
  AccessHook OnReadFile;
  AccessHook OnWriteFile;
  CompleteHook OnTransferComplete;

  // Binds the server port on all local addresses and starts the listener.
  // A bind refused because the port is taken fails with the text "Could not
  // bind socket. Address and port are already in use.".
  Failure Activate();
  // Stops the listener and every running transfer (each peer gets one ERROR
  // code 0) and joins them.
  void Deactivate();

  uint16_t BoundPort() const { return boundPort_; }

 private:
  void HandleDatagram(const uint8_t* data, size_t size, const net::Endpoint& from);
  // false with *error when the request is refused or fails.
  bool HandleRequest(const uint8_t* data, size_t size, const net::Endpoint& from, tftp::ErrorPacket* error);
  // Joins the transfers that are done; returns how many still run.
  size_t ReapFinished();

  TftpHandOver& handOver_;
  TftpServerSettings settings_;
  net::Socket socket_;
  uint16_t boundPort_ = 0;
  std::unique_ptr<UdpListener> listener_;
  // Guards transfers_.
  std::mutex transfersMutex_;
  std::vector<std::unique_ptr<TftpSendThread>> transfers_;
};

}  // namespace quillbox
