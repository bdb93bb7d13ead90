#pragma once
// UDP request transport to the devices, and the TCP connect probe.
//
// Every exchange runs on the caller's thread and blocks it, but waits only
// in slices of at most SLICE_MS, so that a CancelRequest from another
// thread (the window runs its exchanges on a thread of their own) ends the
// wait within one slice; between slices it calls the pump hook, where a
// command line shows its progress and turns Ctrl-C into a cancel. One
// thread at a time runs the exchanges of a transport. Deadlines are
// measured with the steady clock from StartDeadline. The operating-system
// socket exists only during an exchange and is closed on every way out.
//
// A broadcast request leaves once through every link that can carry one
// (read afresh for each exchange), from the one socket, so every answer
// comes back to its port. The answers are taken off the socket by a receiving
// thread (ReplyReceiver) from before the request leaves until the exchange
// closes its socket, which also joins that thread. Where the socket cannot
// have the receive buffer asked for (an ordinary user is held to
// net.core.rmem_max), more sockets share its port, each with a buffer of its
// own, and the answers are dealt out among them, so that together they hold
// a burst the thread has no time to take.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ReplyReceiver.h"
#include "explorer/protocol/Targets.h"
#include "net/Socket.h"

// A socket whose waits end at an armed deadline or at CancelRequest.
class CTimeoutSocket {
 public:
  using Clock = std::chrono::steady_clock;
  // Short enough that a cancel, and the hook's progress, come within a few
  // ms.
  static constexpr int SLICE_MS = 2;

  // Clears timedOut; a non-zero `ms` arms a new deadline `ms` from now,
  // 0 keeps a deadline armed earlier running.
  void StartDeadline(uint32_t ms);
  void StopDeadline();
  // Ends the wait in progress (within one slice) and sets timedOut. Safe to
  // call from the pump hook, and from another thread. A cancel also holds
  // for the rest of the exchange it interrupted, so it cannot be lost
  // between two waits; the next exchange starts uncancelled.
  void CancelRequest();
  bool timedOut() const { return timedOut_.load(); }
  // A CancelRequest ended (or will end) the exchange in progress.
  bool Cancelled() const { return cancelled_.load(); }

  void SetPumpHook(std::function<void()> hook) { pump_ = std::move(hook); }

  // Exchange life: Open clears a previous cancel; Close joins the receiving
  // thread (if one was started) and then ends the socket.
  int OpenUdp();
  int OpenTcp();
  void Close();
  net::Socket& Raw() { return socket_; }
  // Hands the open datagram socket's answers (and those of the sockets
  // sharing its port) to a receiving thread until Close; 0 or errno.
  int StartReceiver();
  // Shares the bound datagram socket's port until Close with more sockets,
  // `members` in all, each asking for `bufferRequest` bytes of receive
  // buffer; datagrams sent to this host alone are dealt out among them at
  // random. *granted gets the buffer bytes of them all together. 0, or
  // errno with the socket left alone as it was.
  int ShareReceivePort(size_t members, int bufferRequest, long* granted);
  size_t ReceiveSockets() const { return 1 + group_.size(); }

  // Receives one datagram into buf (cap bytes), waiting until one comes,
  // the deadline passes or Cancel. Returns the byte count, or -errno for a
  // failed receive, or -ETIMEDOUT with timedOut() set when the wait ended.
  long Receive(void* buf, size_t cap);
  // The interface the last datagram Receive returned arrived on (0: not
  // known).
  unsigned LastLink() const { return lastLink_; }
  // Who sent it (network order; 0 when not known).
  uint32_t LastSender() const { return lastFrom_; }
  // Connects, waiting the same way; 0 on success, else errno (ETIMEDOUT
  // with timedOut() set when the deadline or Cancel ended it).
  int Connect(uint32_t addrNetOrder, uint16_t port);
  // Lets one slice pass (never beyond the deadline), pumps, and sets
  // timedOut when the deadline has passed meanwhile; used after a receive
  // that failed at once, so a retry loop never spins and always ends.
  void Pause();

 private:
  // Waits for readiness in slices; true when ready, false when the wait
  // ended (timedOut set) or poll failed (*error set).
  bool Wait(bool forWrite, int* error);
  // Sets timedOut when the deadline has passed or a cancel is pending.
  bool CheckExpired();
  void PumpIfDue(bool force);
  int SliceLeft() const;

  net::Socket socket_;
  std::vector<net::Socket> group_;  // sharing socket_'s port; owner thread only
  ReplyReceiver receiver_;
  ReplyReceiver::Reply reply_;  // owner thread only
  unsigned lastLink_ = 0;       // owner thread only
  uint32_t lastFrom_ = 0;       // owner thread only
  std::atomic<bool> timedOut_{false};
  std::atomic<bool> cancelled_{false};  // set by CancelRequest, cleared by Open*
  bool armed_ = false;                  // owner thread only
  Clock::time_point deadline_{};        // owner thread only
  Clock::time_point lastPump_{};        // owner thread only
  std::function<void()> pump_;
};

class CDeviceSocket {
 public:
  static constexpr uint32_t DISCOVERY_PASS_MS = 4400;
  static constexpr uint32_t SET_NETWORK_WAIT_MS = 4000;
  static constexpr uint32_t PROBE_MS = 2000;
  // Room in the kernel for a whole plant answering a broadcast at once.
  static constexpr int DISCOVERY_RECEIVE_BUFFER = 8 * 1024 * 1024;
  // At most this many sockets share a port to make up that room.
  static constexpr size_t MAX_RECEIVE_SOCKETS = 32;

  // Opens a UDP socket and sends one datagram to addr:DEVICE_PORT
  // (broadcast enabled for 255.255.255.255). A broadcast leaves once
  // through every link that carries one (or through the named links, see
  // SetLinkFilter); with no such link, or when the list cannot be read,
  // once where the routing sends it. 0 when at least one copy left, -1
  // when the socket cannot be made or no copy left, or errno when
  // broadcast cannot be enabled. The socket stays open for the replies.
  int32_t SendRequest(uint32_t addrNetOrder, const uint8_t* buf, size_t len);
  // The latest request could not leave this computer (no socket, or the
  // send failed). A -1 from an exchange is then the transport's own; from
  // a device's answer it is a status like any other.
  bool SendFailed() const { return sendFailed_; }
  // Waits for one datagram (deadline timeoutMs, 0 = the one already
  // running) and validates it; buf must hold MAX_DATAGRAM bytes.
  int32_t ReceiveReply(uint32_t timeoutMs, uint8_t* buf, uint32_t expectedLength);
  // One discovery pass: the broadcasts on every link (unless switched off),
  // one request to each target and, paced at the sweep rate, one to every
  // address of each sweep; then 4400 ms for the answers, counted from the
  // last request sent. Fills records[0..count) with the devices that
  // answered (each MAC once, accepted kinds only). 0 when at least one
  // answered, else the first error of the pass (normally 5).
  // RecordLinks() and RecordOrigins() then tell where each answer came from.
  int32_t Discover(DeviceRecordArray& records, int& count);
  // The same pass into a list that grows, ending early once `cap` devices
  // are in it (the array above holds MAX_DEVICES).
  int32_t Discover(std::vector<DeviceRecord>& records, size_t cap);
  // The last discovery pass ended because its list was full: more devices
  // may have answered than it holds.
  bool LastPassFull() const { return lastPassFull_; }
  // Asks one address alone (a short exchange, no broadcast) and waits up to
  // timeoutMs for a device answering from it; 0 with *out filled, else the
  // exchange's error (5 when nobody answered).
  static constexpr uint32_t ASK_ADDRESS_MS = 1500;
  int32_t AskAddress(uint32_t addrNetOrder, DeviceRecord* out, uint32_t timeoutMs = ASK_ADDRESS_MS);
  // Broadcasts the request (and sends it to each of `alsoTo`, network
  // order: a device's address or a subnet's broadcast behind a router) and
  // waits for the addressed device; 0, the last refusal other than 4998,
  // or 5.
  int32_t SetNetworkParameters(const SetNetworkRequest& request, const std::vector<uint32_t>& alsoTo = {});
  // TCP connect to addr:port within 2000 ms; no data sent.
  bool ProbeConnect(uint32_t addrNetOrder, uint16_t port);

  // A link of this host: its interface index and name.
  struct Link {
    unsigned index = 0;  // 0: not known
    std::string name;    // empty when not known
    bool operator==(const Link&) const = default;
  };
  // Entry i is the link the answer of record i of the last Discover came
  // in on (the first answer, for a device heard on several).
  const std::vector<Link>& RecordLinks() const { return recordLinks_; }
  // The link the device with this 6-byte MAC answered on in the last
  // Discover; an empty Link when it did not answer there.
  Link LinkOfDevice(const uint8_t* mac6) const;
  // Where the answer of record i of the last Discover came from: the link
  // it arrived on, its sender, and the target (index into Targets()) whose
  // request it answers, -1 for an answer to a link's broadcast.
  struct Origin {
    Link link;
    uint32_t from = 0;  // network order; 0 when not known
    int target = -1;
  };
  const std::vector<Origin>& RecordOrigins() const { return recordOrigins_; }
  // The origin of the device with this 6-byte MAC in the last Discover; an
  // empty Origin when it did not answer there.
  Origin OriginOfDevice(const uint8_t* mac6) const;
  // The links the last broadcast request left through; empty when it left
  // where the routing sent it.
  const std::vector<Link>& SentLinks() const { return sentLinks_; }
  // Targets and sweeps every Discover asks beside (or, with broadcasts off,
  // instead of) the links' broadcasts.
  void SetTargets(std::vector<DiscoveryTarget> targets) { targets_ = std::move(targets); }
  const std::vector<DiscoveryTarget>& Targets() const { return targets_; }
  void SetBroadcastEnabled(bool on) { broadcast_ = on; }
  bool BroadcastEnabled() const { return broadcast_; }
  // Requests per second of a sweep (at least 1).
  void SetSweepRate(unsigned perSecond) { sweepRate_ = perSecond == 0 ? 1 : perSecond; }
  // Per target of the last Discover: how many of its requests left, and
  // the failure of the first that did not (0: none failed).
  struct TargetSend {
    uint32_t sent = 0;
    int error = 0;
  };
  const std::vector<TargetSend>& TargetSends() const { return targetSends_; }
  // Restricts broadcasts to the interfaces named (empty: every link that
  // carries one). A name no interface has is skipped; when none of them
  // takes the request, SendRequest gives -1. Answers are taken from
  // wherever they arrive.
  void SetLinkFilter(std::vector<std::string> interfaceNames) { linkFilter_ = std::move(interfaceNames); }
  // The links a broadcast would leave through now (the filter applied);
  // empty when it would go where the routing sends it.
  std::vector<Link> BroadcastLinks() const;

  void CancelRequest() { socket_.CancelRequest(); }
  // Ends an exchange started by hand with SendRequest/ReceiveReply; the
  // exchanges above close their socket themselves.
  void Close() { socket_.Close(); }
  void SetPumpHook(std::function<void()> hook) { socket_.SetPumpHook(std::move(hook)); }
  CTimeoutSocket& Socket() { return socket_; }

  // What the kernel granted the last exchange's sockets together (bytes),
  // or -errno; and how many sockets shared its port.
  long LastReceiveBuffer() const { return lastReceiveBuffer_; }
  size_t LastReceiveSockets() const { return lastReceiveSockets_; }
  // The receive buffer the exchanges ask for (DISCOVERY_RECEIVE_BUFFER
  // unless changed); 0 leaves the system's default, as on a host where
  // nothing more is granted.
  void SetReceiveBufferRequest(int bytes) { receiveBufferRequest_ = bytes; }

 private:
  struct Received {
    int32_t result;
    bool datagram;  // a datagram arrived (validated or not)
  };
  class SweepSender;
  Received ReceiveOnce(uint32_t timeoutMs, uint8_t* buf, uint32_t expectedLength);
  // Opens the exchange's socket (broadcast allowed when asked), sizes its
  // buffer and starts its receiver: 0, -1 or errno as SendRequest.
  int32_t OpenExchange(bool broadcast);
  bool SendOnEveryLink(const uint8_t* buf, size_t len);
  // The links' broadcasts and one request per target that is not a sweep.
  bool SendToTargets(const uint8_t* buf, size_t len);
  void NameLinks(const std::vector<unsigned>& indexes, const std::vector<uint64_t>& macs,
                 const std::vector<uint32_t>& senders);

  CTimeoutSocket socket_;
  long lastReceiveBuffer_ = 0;
  size_t lastReceiveSockets_ = 1;
  bool sendFailed_ = false;
  bool lastPassFull_ = false;
  int receiveBufferRequest_ = DISCOVERY_RECEIVE_BUFFER;
  std::vector<std::string> linkFilter_;
  std::vector<Link> sentLinks_;
  std::vector<Link> recordLinks_;
  std::vector<Origin> recordOrigins_;
  std::vector<DiscoveryTarget> targets_;
  std::vector<TargetSend> targetSends_;
  bool broadcast_ = true;
  unsigned sweepRate_ = DEFAULT_SWEEP_RATE;
  std::unordered_map<uint64_t, size_t> recordOfDevice_;  // MAC -> index into recordLinks_
};
