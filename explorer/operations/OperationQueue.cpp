#include "explorer/operations/OperationQueue.h"

#include <algorithm>

#include "explorer/operations/Quillbox.h"

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
    OperationWorker work = workers_[kind];
    if (worker_.joinable()) worker_.join();
    running_ = q;
    worker_ = std::thread([q, owner, work] {
      int32_t result = work(*q);
      owner->PostOperationDone(result, q);
    });
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
