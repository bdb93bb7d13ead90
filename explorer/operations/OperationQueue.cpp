#include "explorer/operations/OperationQueue.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>

#include "explorer/operations/Quillbox.h"

namespace {

// A report that cannot be posted (no memory for the message) is tried again
// for about a second: the queue stays busy until its report arrives.
constexpr int REPORT_ATTEMPTS = 20;
constexpr auto REPORT_RETRY = std::chrono::milliseconds(50);

void PostReport(OperationOwner* owner, int32_t result, CQuillbox* q) noexcept {
  for (int attempt = 0; attempt < REPORT_ATTEMPTS; ++attempt) {
    try {
      owner->PostOperationDone(result, q);
      return;
    } catch (...) {
    }
    std::this_thread::sleep_for(REPORT_RETRY);
  }
}

// Whatever a worker throws ends its operation, not the program.
int32_t RunWorker(const OperationWorker& work, CQuillbox& q) noexcept {
  try {
    return work(q);
  } catch (...) {
    return OperationFailure(std::current_exception(), q.errorText);
  }
}

}  // namespace

int32_t OperationFailure(std::exception_ptr failure, std::string& errorText) noexcept {
  int32_t code = -1;
  const char* text = "Unexpected failure";
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    code = OPERATION_OUT_OF_MEMORY;
    text = NOT_ENOUGH_MEMORY_TEXT;
  } catch (const std::system_error& e) {
    // A thread that cannot start says why in the system's words.
    if (e.code().value() != 0) code = e.code().value();
    text = e.what();
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
  }
  try {
    errorText = text;
  } catch (...) {
    errorText.clear();  // the code alone still tells the completion it failed
  }
  return code;
}

COperationQueue::~COperationQueue() {
  if (worker_.joinable()) {
    if (running_) CancelRunning(running_);
    worker_.join();
  }
}

void COperationQueue::SetWorker(int32_t kind, OperationWorker worker) {
  if (kind >= 0 && kind < 3) workers_[kind] = std::move(worker);
}

void COperationQueue::SetLibraryCancel(std::function<void()> cancel) {
  libraryCancel_ = std::move(cancel);
}

bool COperationQueue::IsQueued(const CQuillbox* q) const {
  return std::find(queue_.begin(), queue_.end(), q) != queue_.end();
}

bool COperationQueue::StartOperation(CQuillbox* q, std::unique_ptr<DeviceOperation> op) {
  if (!q || !op) return false;
  if (!q->record || q->record->ip() == 0) return false;
  // Both workers would share q's request: never two on one device.
  if (IsRunning(q)) return false;
  q->operation = std::move(op);
  if (!IsQueued(q)) queue_.push_back(q);
  if (queue_.front() == q) StartHead();
  return true;
}

void COperationQueue::StartHead() {
  // A cancelled worker that has not reported yet still owns the single
  // worker slot (and perhaps the library); the head starts after its report.
  while (!queue_.empty() && !running_) {
    CQuillbox* q = queue_.front();
    int32_t kind = q->operation ? q->operation->kind : -1;
    if (kind < 0 || kind > 2 || !workers_[kind] || !q->operation->owner) {
      // Nothing can run it: drop it rather than block the queue for good.
      queue_.pop_front();
      q->operation.reset();
      continue;
    }
    q->errorText.clear();
    OperationOwner* owner = q->operation->owner;
    if (worker_.joinable()) worker_.join();
    running_ = q;
    try {
      worker_ = std::thread(
          [q, owner, work = workers_[kind]] { PostReport(owner, RunWorker(work, *q), q); });
    } catch (...) {
      // No thread (the system refused one, or the memory for it): the
      // operation fails with that, reported as a worker reports, so the
      // completion shows it and the queue goes on.
      PostReport(owner, OperationFailure(std::current_exception(), q->errorText), q);
    }
  }
}

bool COperationQueue::AcceptReport(CQuillbox* q) {
  if (!q || q != running_) return false;
  // The report is the worker's last act: the join returns at once.
  if (worker_.joinable()) worker_.join();
  running_ = nullptr;
  return true;
}

void COperationQueue::FinishOperation(CQuillbox* q) {
  auto it = std::find(queue_.begin(), queue_.end(), q);
  if (it != queue_.end()) {
    queue_.erase(it);
    q->operation.reset();
  }
  StartHead();
}

void COperationQueue::CancelRunning(CQuillbox* q) {
  int32_t kind = q->operation ? q->operation->kind : -1;
  if (kind == OPERATION_UPLOAD || kind == OPERATION_RETRIEVE) {
    std::shared_ptr<HttpRequest> request;
    {
      std::lock_guard<std::recursive_mutex> guard(q->lock);
      request = q->request;
    }
    if (request) request->Close();
  }
  if (libraryCancel_) libraryCancel_();
}

void COperationQueue::CancelAllOperations() {
  for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
    CQuillbox* q = *it;
    if (q->operation && q == running_) CancelRunning(q);
  }
  // The operations stay attached: a running worker's report still needs
  // its kind, and a waiting one is replaced by the next request.
  queue_.clear();
}

void COperationQueue::WaitForRunningOperation() {
  if (running_) CancelRunning(running_);
  if (worker_.joinable()) worker_.join();
  running_ = nullptr;
  queue_.clear();
}

COperationQueue& Operations() {
  static COperationQueue queue;
  return queue;
}
