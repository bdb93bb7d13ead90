#pragma once
// The process-wide queue of long device operations: first in, first out;
// only the head runs, on a worker thread of its own. Every member is called
// on the user-interface thread; workers talk back only through their
// owner's PostOperationDone.
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "explorer/operations/DeviceOperation.h"
#include "explorer/protocol/DeviceMessages.h"

class CQuillbox;

// A worker does the operation and returns its result; the queue posts the
// report to the operation's owner as the thread's very last act.
using OperationWorker = std::function<int32_t(CQuillbox&)>;

// An operation that the program could not carry for want of memory ends
// with this result (the error table's "Out of memory" row) and text.
constexpr int32_t OPERATION_OUT_OF_MEMORY = ERR_OUT_OF_MEMORY;
constexpr const char* NOT_ENOUGH_MEMORY_TEXT = "Not enough memory";

// The result of an operation (or of its start) that an exception ended, its
// text left in `errorText`: a shortage of memory, the system's words for a
// thread it would not start, else the exception's own text.
int32_t OperationFailure(std::exception_ptr failure, std::string& errorText) noexcept;

class COperationQueue {
 public:
  COperationQueue() = default;
  ~COperationQueue();
  COperationQueue(const COperationQueue&) = delete;
  COperationQueue& operator=(const COperationQueue&) = delete;

  // Workers per operation kind, and the upgrade library's Cancel.
  void SetWorker(int32_t kind, OperationWorker worker);
  void SetLibraryCancel(std::function<void()> cancel);

  // Queues op for q and starts it when its turn comes. A device whose own
  // worker still runs is not given a second one: the request is dropped
  // (false). A waiting device gets the newer operation.
  bool StartOperation(CQuillbox* q, std::unique_ptr<DeviceOperation> op);
  // A worker's report reached the user-interface thread. False when it is
  // stale (its worker was already waited for): then it must be ignored.
  bool AcceptReport(CQuillbox* q);
  // Takes q out of the queue and starts the next operation.
  void FinishOperation(CQuillbox* q);
  void CancelAllOperations();
  bool QueueBusy() const { return !queue_.empty(); }
  // True while q's worker runs (also a cancelled one that has not reported).
  bool IsRunning(const CQuillbox* q) const { return q && q == running_; }
  // True while any worker exists: from its start until its report has been
  // accepted, so also after a cancel emptied the queue. Nothing may destroy
  // device objects meanwhile.
  bool HasWorker() const { return running_ != nullptr; }
  bool IsQueued(const CQuillbox* q) const;
  // Cancels what runs and returns once no worker exists any more; its
  // report, if it still arrives, is stale.
  void WaitForRunningOperation();

 private:
  void StartHead();
  void CancelRunning(CQuillbox* q);

  std::deque<CQuillbox*> queue_;
  OperationWorker workers_[3];
  std::function<void()> libraryCancel_;
  // Whose worker runs or has yet to be accepted; a start that failed counts
  // until its report (posted at once) is accepted.
  CQuillbox* running_ = nullptr;
  std::thread worker_;
};

// The process's queue.
COperationQueue& Operations();
