#include "explorer/protocol/ReplyReceiver.h"

#include <cerrno>
#include <chrono>
#include <new>
#include <system_error>
#include <vector>

namespace {

// How long the thread sleeps in one wait when nothing arrives; Stop wakes
// it at once, so this only bounds a wake-up that went missing.
constexpr int IDLE_WAIT_MS = 50;
// After a receive that failed, before the next try: a failure that repeats
// at once must not spin.
constexpr auto FAILURE_PAUSE = std::chrono::milliseconds(5);
constexpr size_t BATCH = 64;

}  // namespace

int ReplyReceiver::Start(const net::Socket& socket) {
  Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
  }
  taken_.clear();
  stop_ = false;
  dropped_ = 0;
  if (const int err = socket.Duplicate(&socket_)) return err;
  try {
    thread_ = std::thread([this] {
      try {
        Run();
      } catch (...) {
        // Out of memory for its buffers: the exchange waiting on it
        // learns so as of any receive that failed, and the thread ends.
        try {
          Reply failed;
          failed.size = -ENOMEM;
          std::deque<Reply> last{failed};
          HandOver(last, true);
        } catch (...) {
        }
      }
    });
  } catch (const std::system_error& e) {
    socket_.Close();
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  } catch (const std::bad_alloc&) {  // the thread's own state
    socket_.Close();
    return ENOMEM;
  }
  return 0;
}

void ReplyReceiver::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  // Wakes the thread's wait at once; the descriptor is released only after
  // the join.
  socket_.Shutdown();
  thread_.join();
  socket_.Close();
}

bool ReplyReceiver::Take(Reply* out, int maxWaitMs) {
  if (taken_.empty()) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.empty() && maxWaitMs > 0)
      arrived_.wait_for(lock, std::chrono::milliseconds(maxWaitMs), [this] { return !queue_.empty(); });
    // Everything at once: the lock is held for a swap, not per answer.
    taken_.swap(queue_);
  }
  if (taken_.empty()) return false;
  *out = taken_.front();
  taken_.pop_front();
  return true;
}

bool ReplyReceiver::HandOver(std::deque<Reply>& pending, bool wait) {
  if (pending.empty()) return true;
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  if (wait) {
    lock.lock();
  } else if (!lock.try_lock()) {
    return false;
  }
  if (queue_.empty()) {
    queue_.swap(pending);
  } else {
    while (!pending.empty()) {
      queue_.push_back(pending.front());
      pending.pop_front();
    }
  }
  lock.unlock();
  arrived_.notify_one();
  return true;
}

void ReplyReceiver::Run() {
  std::vector<Reply> batch(BATCH);
  std::vector<net::DatagramSlot> slots(BATCH);
  for (size_t i = 0; i < BATCH; ++i) {
    slots[i].buffer = batch[i].bytes.data();
    slots[i].capacity = batch[i].bytes.size();
  }
  std::deque<Reply> pending;  // taken off the socket, not yet handed over
  const auto keep = [&](const Reply& r) {
    if (pending.size() >= MAX_QUEUED) {
      ++dropped_;
      return;
    }
    pending.push_back(r);
  };
  const auto fail = [&](int err) {
    Reply failed;
    failed.size = -err;
    keep(failed);
    HandOver(pending, true);
    std::this_thread::sleep_for(FAILURE_PAUSE);
  };
  while (!stop_) {
    // With answers still to hand over, come back soon to try again; the
    // socket always goes first.
    bool ready = false;
    if (const int err = socket_.WaitReadable(pending.empty() ? IDLE_WAIT_MS : 1, &ready)) {
      if (!stop_) fail(err);
      continue;
    }
    if (stop_) break;
    if (!ready) {
      // Nothing arriving: now the consumer may be waited for.
      HandOver(pending, true);
      continue;
    }
    // Everything queued now, in as few calls as the batches allow.
    for (;;) {
      size_t filled = 0;
      const int err = socket_.ReceiveMany(slots.data(), slots.size(), &filled);
      for (size_t i = 0; i < filled; ++i) {
        batch[i].size = slots[i].error != 0 ? -slots[i].error : static_cast<long>(slots[i].got.size);
        batch[i].link = slots[i].got.to.interfaceIndex;
        batch[i].from = slots[i].got.from.ip;
        keep(batch[i]);
      }
      HandOver(pending, false);
      if (err == EAGAIN || err == EWOULDBLOCK) break;
      if (err != 0) {
        if (!stop_) fail(err);
        break;
      }
      if (filled == 0) {
        // Readable without a datagram: the socket was shut down.
        if (!stop_) std::this_thread::sleep_for(FAILURE_PAUSE);
        break;
      }
      if (filled < slots.size()) break;
    }
  }
}
