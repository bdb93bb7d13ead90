#include "explorer/protocol/ReplyReceiver.h"

#include <cerrno>
#include <chrono>
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
  stop_ = false;
  dropped_ = 0;
  if (const int err = socket.Duplicate(&socket_)) return err;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    socket_.Close();
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
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
  std::unique_lock<std::mutex> lock(mutex_);
  if (queue_.empty() && maxWaitMs > 0)
    arrived_.wait_for(lock, std::chrono::milliseconds(maxWaitMs), [this] { return !queue_.empty(); });
  if (queue_.empty()) return false;
  *out = queue_.front();
  queue_.pop_front();
  return true;
}

void ReplyReceiver::Push(const Reply* replies, size_t count) {
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < count; ++i) {
      if (queue_.size() >= MAX_QUEUED) {
        dropped_ += count - i;
        break;
      }
      queue_.push_back(replies[i]);
    }
  }
  arrived_.notify_one();
}

void ReplyReceiver::Run() {
  net::Socket* socket = &socket_;
  std::vector<Reply> batch(BATCH);
  std::vector<net::DatagramSlot> slots(BATCH);
  for (size_t i = 0; i < BATCH; ++i) {
    slots[i].buffer = batch[i].bytes.data();
    slots[i].capacity = batch[i].bytes.size();
  }
  const auto fail = [&](int err) {
    Reply failed;
    failed.size = -err;
    Push(&failed, 1);
    std::this_thread::sleep_for(FAILURE_PAUSE);
  };
  while (!stop_) {
    bool ready = false;
    if (const int err = socket->WaitReadable(IDLE_WAIT_MS, &ready)) {
      if (!stop_) fail(err);
      continue;
    }
    if (!ready || stop_) continue;
    // Everything queued now, in as few calls as the batches allow.
    for (;;) {
      size_t filled = 0;
      const int err = socket->ReceiveMany(slots.data(), slots.size(), &filled);
      for (size_t i = 0; i < filled; ++i) {
        batch[i].size = slots[i].error != 0 ? -slots[i].error : static_cast<long>(slots[i].got.size);
        batch[i].link = slots[i].got.to.interfaceIndex;
      }
      Push(batch.data(), filled);
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
