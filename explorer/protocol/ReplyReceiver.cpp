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

int ReplyReceiver::Start(const std::vector<const net::Socket*>& sockets) {
  Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
  }
  taken_.clear();
  stop_ = false;
  dropped_ = 0;
  if (sockets.empty()) return EINVAL;
  try {
    sockets_.resize(sockets.size());
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  for (size_t i = 0; i < sockets.size(); ++i) {
    if (const int err = sockets[i]->Duplicate(&sockets_[i])) {
      sockets_.clear();
      return err;
    }
  }
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
    sockets_.clear();
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  } catch (const std::bad_alloc&) {  // the thread's own state
    sockets_.clear();
    return ENOMEM;
  }
  return 0;
}

void ReplyReceiver::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  // Wakes the thread's wait at once; the descriptors are released only
  // after the join.
  for (net::Socket& s : sockets_) s.Shutdown();
  thread_.join();
  sockets_.clear();
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

void ReplyReceiver::Keep(std::deque<Reply>& pending, const Reply& reply) {
  if (pending.size() >= MAX_QUEUED) {
    ++dropped_;
    return;
  }
  pending.push_back(reply);
}

void ReplyReceiver::Fail(std::deque<Reply>& pending, int err) {
  Reply failed;
  failed.size = -err;
  Keep(pending, failed);
  HandOver(pending, true);
  std::this_thread::sleep_for(FAILURE_PAUSE);
}

bool ReplyReceiver::Drain(size_t i, std::vector<Reply>& batch, std::vector<net::DatagramSlot>& slots,
                          std::deque<Reply>& pending) {
  for (;;) {
    size_t filled = 0;
    const int err = sockets_[i].ReceiveMany(slots.data(), slots.size(), &filled);
    for (size_t k = 0; k < filled; ++k) {
      batch[k].size = slots[k].error != 0 ? -slots[k].error : static_cast<long>(slots[k].got.size);
      batch[k].link = slots[k].got.to.interfaceIndex;
      batch[k].from = slots[k].got.from.ip;
      Keep(pending, batch[k]);
    }
    HandOver(pending, false);
    if (err == EAGAIN || err == EWOULDBLOCK) return true;
    if (err != 0) {
      if (!stop_) Fail(pending, err);
      return false;
    }
    if (filled == 0) {
      // Readable without a datagram: the socket was shut down.
      if (!stop_) std::this_thread::sleep_for(FAILURE_PAUSE);
      return false;
    }
    if (filled < slots.size()) return true;
  }
}

void ReplyReceiver::Run() {
  std::vector<Reply> batch(BATCH);
  std::vector<net::DatagramSlot> slots(BATCH);
  for (size_t i = 0; i < BATCH; ++i) {
    slots[i].buffer = batch[i].bytes.data();
    slots[i].capacity = batch[i].bytes.size();
  }
  std::vector<const net::Socket*> watched;
  for (const net::Socket& s : sockets_) watched.push_back(&s);
  std::vector<size_t> ready;
  ready.reserve(watched.size());
  std::deque<Reply> pending;  // taken off the sockets, not yet handed over
  while (!stop_) {
    // With answers still to hand over, come back soon to try again; the
    // sockets always go first.
    if (const int err = net::WaitAnyReadable(watched, pending.empty() ? IDLE_WAIT_MS : 1, &ready)) {
      if (!stop_) Fail(pending, err);
      continue;
    }
    if (stop_) break;
    if (ready.empty()) {
      // Nothing arriving: now the consumer may be waited for.
      HandOver(pending, true);
      continue;
    }
    for (size_t i : ready)
      if (!Drain(i, batch, slots, pending)) break;
  }
}
