#pragma once
// The long device operations as both front-ends run them: their time
// budgets, what the status line says meanwhile, the queue's workers, and a
// run that waits for its report with a deadline and a cancel.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/DeviceOperation.h"

class CQuillbox;

// How long each may take: the window's busy display counts it down, the
// command line cancels at it unless told otherwise.
constexpr int RETRIEVE_BUSY_MS = 40000;
constexpr int UPLOAD_BUSY_MS = 10000;
int OperationBudgetMs(int32_t kind);

constexpr const char* RETRIEVE_STATUS_TEXT = "Retrieving configuration file";
constexpr const char* UPLOAD_STATUS_TEXT = "Setting configuration file";
std::string UpgradeStatusText(const std::string& macText);
// The status line while an operation of `kind` runs for the device with
// Ethernet address `macText`.
std::string OperationStatusText(int32_t kind, const std::string& macText);

// Gives the process's queue its workers and the upgrade library's Cancel.
// The retrieve asks `askStoreFile` where to store the file; without one a
// retrieve is dropped.
void WireOperationWorkers(StoreFileAsker askStoreFile);
// The retrieve's asker is going away: later retrieves are dropped rather
// than run against it.
void ForgetStoreFileAsker();
// Queues an operation of `kind` for q; `owner` gets its report. False when
// the queue dropped it (q's own worker still runs, or it has no address).
bool StartDeviceOperation(CQuillbox& q, int32_t kind, OperationOwner& owner);

// Why an operation ended before it finished, as far as this side knows.
enum class EndCause { None, Cancelled, Deadline };

struct RunEnd {
  int32_t result = 0;
  EndCause cause = EndCause::None;
};

// Runs one operation on the calling thread's behalf: the caller starts it,
// then Wait blocks until the worker reports. `interrupted` and `tick` are
// called on the caller's thread every 100 ms; an interruption or the budget
// running out cancels as the window's Cancel does, and the worker then
// reports at its next cancel point.
class BlockingOperation final : public OperationOwner {
 public:
  BlockingOperation() = default;
  // Whatever way the run ends, no worker outlives the device object and
  // this owner of its report (both made before it).
  ~BlockingOperation() override;
  BlockingOperation(const BlockingOperation&) = delete;
  BlockingOperation& operator=(const BlockingOperation&) = delete;

  bool Start(CQuillbox& q, int32_t kind);
  RunEnd Wait(CQuillbox& q, std::chrono::milliseconds budget, const std::function<bool()>& interrupted,
              const std::function<void()>& tick);

  void PostOperationDone(int32_t result, CQuillbox*) override;

 private:
  std::mutex mutex_;  // guards done_ and result_
  std::condition_variable reported_;
  bool done_ = false;
  int32_t result_ = 0;
};
