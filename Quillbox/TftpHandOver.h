#pragma once
// Hands work from the server's threads (the listener and the send threads)
// to the one thread that runs the wait, one item at a time and in arrival
// order. The handing thread blocks until its item has been handled, which is
// the only synchronisation between the server and the wait.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace quillbox {

class TftpHandOver {
 public:
  using Clock = std::chrono::steady_clock;

  TftpHandOver() = default;
  TftpHandOver(const TftpHandOver&) = delete;
  TftpHandOver& operator=(const TftpHandOver&) = delete;
  ~TftpHandOver();

  // Any thread but the handling one: runs work on the handling thread and
  // returns true once it has run; false, without running it, once Close has
  // been called (also when Close comes while the item waits in the queue).
  bool Run(std::function<void()> work);

  // Handling thread: runs the oldest item, waiting for one until deadline or
  // until Wake. Returns true when an item ran.
  bool HandleOne(Clock::time_point deadline);

  // Any thread: makes a waiting HandleOne return now (for a cancel).
  void Wake();

  // Refuses every item still queued and every later one, so no thread stays
  // blocked on a handler that will never run again.
  void Close();

 private:
  struct Item {
    std::function<void()> work;
    bool done = false;
    bool ran = false;
  };

  // Guards queue_, closed_, woken_ and the done/ran flags of queued items.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item*> queue_;
  bool closed_ = false;
  bool woken_ = false;
};

}  // namespace quillbox
