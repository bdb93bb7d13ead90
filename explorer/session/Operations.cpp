#include "explorer/session/Operations.h"

#include <memory>

#include "explorer/operations/OperationQueue.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/upgrade/UpgradeLibrary.h"
#include "explorer/upgrade/UpgradeWorker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(100);

}  // namespace

int OperationBudgetMs(int32_t kind) {
  switch (kind) {
    case OPERATION_RETRIEVE: return RETRIEVE_BUSY_MS;
    case OPERATION_UPGRADE: return UPGRADE_BUSY_MS;
    default: return UPLOAD_BUSY_MS;
  }
}

std::string UpgradeStatusText(const std::string& macText) { return "Upgrading " + macText; }

std::string OperationStatusText(int32_t kind, const std::string& macText) {
  switch (kind) {
    case OPERATION_RETRIEVE: return RETRIEVE_STATUS_TEXT;
    case OPERATION_UPGRADE: return UpgradeStatusText(macText);
    default: return UPLOAD_STATUS_TEXT;
  }
}

void WireOperationWorkers(StoreFileAsker askStoreFile) {
  COperationQueue& ops = Operations();
  ops.SetWorker(OPERATION_UPLOAD, [](CQuillbox& q) { return UploadConfigurationWorker(q); });
  if (askStoreFile)
    ops.SetWorker(OPERATION_RETRIEVE, [ask = std::move(askStoreFile)](CQuillbox& q) {
      return RetrieveConfigurationWorker(q, ask);
    });
  else
    ops.SetWorker(OPERATION_RETRIEVE, nullptr);
  ops.SetWorker(OPERATION_UPGRADE, [](CQuillbox& q) { return UpgradeWorker(q); });
  ops.SetLibraryCancel([] {
    if (QuillboxCancelFn cancel = UpgradeLibrary().Cancel) cancel();
  });
}

void ForgetStoreFileAsker() { Operations().SetWorker(OPERATION_RETRIEVE, nullptr); }

bool StartDeviceOperation(CQuillbox& q, int32_t kind, OperationOwner& owner) {
  auto op = std::make_unique<DeviceOperation>();
  op->kind = kind;
  op->owner = &owner;
  return Operations().StartOperation(&q, std::move(op));
}

BlockingOperation::~BlockingOperation() { Operations().WaitForRunningOperation(); }

bool BlockingOperation::Start(CQuillbox& q, int32_t kind) { return StartDeviceOperation(q, kind, *this); }

RunEnd BlockingOperation::Wait(CQuillbox& q, std::chrono::milliseconds budget,
                               const std::function<bool()>& interrupted,
                               const std::function<void()>& tick) {
  const auto deadline = Clock::now() + budget;
  bool cancelled = false;
  bool timedOut = false;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (reported_.wait_for(lock, kTick, [this] { return done_; })) break;
    }
    if (!cancelled && (interrupted() || Clock::now() >= deadline)) {
      cancelled = true;
      timedOut = !interrupted();
      Operations().CancelAllOperations();
    }
    if (tick) tick();
  }
  Operations().AcceptReport(&q);
  Operations().FinishOperation(&q);
  RunEnd end;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    end.result = result_;
  }
  // An interruption, even one after the deadline's cancel, is what the
  // user asked for and is said first.
  end.cause = interrupted() ? EndCause::Cancelled : timedOut ? EndCause::Deadline : EndCause::None;
  return end;
}

void BlockingOperation::PostOperationDone(int32_t result, CQuillbox*) {
  std::lock_guard<std::mutex> lock(mutex_);
  result_ = result;
  done_ = true;
  reported_.notify_all();
}
