#include "TftpHandOver.h"

namespace quillbox {

TftpHandOver::~TftpHandOver() { Close(); }

bool TftpHandOver::Run(std::function<void()> work) {
  Item item;
  item.work = std::move(work);
  std::unique_lock lock(mutex_);
  if (closed_) return false;
  queue_.push_back(&item);
  changed_.notify_all();
  changed_.wait(lock, [&] { return item.done; });
  return item.ran;
}

bool TftpHandOver::HandleOne(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return !queue_.empty() || woken_ || closed_; });
  woken_ = false;
  if (queue_.empty() || closed_) return false;
  Item* item = queue_.front();
  queue_.pop_front();
  lock.unlock();
  try {
    item->work();
  } catch (...) {
    // A failing handler must not leave its caller blocked for ever.
  }
  lock.lock();
  item->ran = true;
  item->done = true;
  changed_.notify_all();
  return true;
}

void TftpHandOver::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  changed_.notify_all();
}

void TftpHandOver::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (Item* item : queue_) item->done = true;
  queue_.clear();
  changed_.notify_all();
}

}  // namespace quillbox
