#pragma once
// Takes the answers of an exchange off its socket on a thread of its own,
// as fast as they come, and keeps them for the exchange in arrival order.
//
// A plant of thousands of devices answers one broadcast within a few
// milliseconds. Without the privilege to enlarge the socket's receive
// buffer, the kernel holds only a few hundred of those answers; whatever
// arrives while the buffer is full is lost. So the socket is drained in
// batches (recvmmsg) by a thread that does nothing else, while the exchange
// on the caller's thread validates and stores at its own pace and keeps
// serving the window between waits. A thread alone cannot promise that: on a
// busy computer it may not run for the few milliseconds of the burst. So an
// exchange may share its port among several sockets, each with a buffer of
// its own, and the thread drains them all.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "net/Socket.h"

class ReplyReceiver {
 public:
  struct Reply {
    // Bytes of the datagram in `bytes`, or -errno: -EMSGSIZE for one longer
    // than MAX_DATAGRAM (its head is in `bytes`), another value for a
    // receive that failed.
    long size = 0;
    unsigned link = 0;  // interface index it arrived on, 0 when not known
    uint32_t from = 0;  // the sender's address, network byte order
    std::array<uint8_t, MAX_DATAGRAM> bytes;
  };
  // A flood beyond this is dropped rather than allowed to eat the memory.
  static constexpr size_t MAX_QUEUED = 16384;

  ReplyReceiver() = default;
  ~ReplyReceiver() { Stop(); }
  ReplyReceiver(const ReplyReceiver&) = delete;
  ReplyReceiver& operator=(const ReplyReceiver&) = delete;

  // Starts draining `sockets` (at least one) through descriptors of its
  // own, so the owner's sockets stay the owner's alone. Answers left from
  // an earlier run are forgotten. 0 or an errno value.
  int Start(const std::vector<const net::Socket*>& sockets);
  int Start(const net::Socket& socket) { return Start(std::vector<const net::Socket*>{&socket}); }
  // Ends the thread and waits for it. Safe to call when not running.
  void Stop();
  bool Running() const { return thread_.joinable(); }

  // Moves the oldest answer into *out, waiting up to maxWaitMs for one to
  // arrive; false when none came in that time.
  bool Take(Reply* out, int maxWaitMs);
  // Answers dropped because the queue was full (since Start).
  size_t Dropped() const { return dropped_.load(); }

 private:
  void Run();
  // Takes everything queued on sockets_[i] now, in as few calls as the
  // batches allow; false when the thread should pause (a failure, or the
  // socket was shut down).
  bool Drain(size_t i, std::vector<Reply>& batch, std::vector<net::DatagramSlot>& slots,
             std::deque<Reply>& pending);
  // Keeps one answer (or failure) for handing over, unless the queue is full.
  void Keep(std::deque<Reply>& pending, const Reply& reply);
  void Fail(std::deque<Reply>& pending, int err);
  // Hands the thread's pending answers over; with `wait` false only when
  // the lock is free at once. True when nothing is left pending.
  bool HandOver(std::deque<Reply>& pending, bool wait);

  // The thread never waits for the consumer while answers may be arriving:
  // it keeps what it took in a list of its own and hands it over when the
  // lock is free, and the consumer takes everything handed over at once.
  std::mutex mutex_;  // guards queue_
  std::condition_variable arrived_;
  std::deque<Reply> queue_;  // handed over, not yet taken
  std::deque<Reply> taken_;  // owner thread only: taken from queue_, not yet returned by Take
  std::atomic<bool> stop_{false};
  std::atomic<size_t> dropped_{0};
  // The thread's descriptors: opened by Start and closed by Stop on the
  // owner's thread, used by the thread in between (Stop only shuts them
  // down before the join).
  std::vector<net::Socket> sockets_;
  std::thread thread_;
};
