// A blocking run ends by the worker's report, by an interruption or at its
// budget, and in each case says which.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "explorer/operations/HttpClient.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/session/Operations.h"

namespace {

using namespace std::chrono_literals;

std::atomic<bool> g_cancelled{false};

// An upgrade that runs until the library's Cancel is called (at most 10 s)
// or returns `result` at once.
void UseWorker(bool untilCancelled, int32_t result) {
  g_cancelled = false;
  Operations().SetLibraryCancel([] { g_cancelled = true; });
  Operations().SetWorker(OPERATION_UPGRADE, [untilCancelled, result](CQuillbox&) -> int32_t {
    if (!untilCancelled) return result;
    for (int i = 0; i < 1000 && !g_cancelled; ++i) std::this_thread::sleep_for(10ms);
    return g_cancelled ? HTTP_ERROR_CANCELLED : 0;
  });
}

std::unique_ptr<CQuillbox> Device() {
  auto q = std::make_unique<CQuillbox>();
  q->record = std::make_unique<DeviceRecord>();
  q->record->setIp(0x0100000Au);
  return q;
}

TEST(BlockingOperation, EndsByReportInterruptionOrBudget) {
  {
    UseWorker(false, 0);
    auto q = Device();
    BlockingOperation op;
    ASSERT_TRUE(op.Start(*q, OPERATION_UPGRADE));
    int ticks = 0;
    const RunEnd end = op.Wait(*q, 10s, [] { return false; }, [&] { ++ticks; });
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.cause, EndCause::None);
    EXPECT_FALSE(g_cancelled);
  }
  {
    UseWorker(true, 0);
    auto q = Device();
    BlockingOperation op;
    ASSERT_TRUE(op.Start(*q, OPERATION_UPGRADE));
    const RunEnd end = op.Wait(*q, 300ms, [] { return false; }, nullptr);
    EXPECT_EQ(end.cause, EndCause::Deadline);
    EXPECT_EQ(end.result, HTTP_ERROR_CANCELLED);
    // The budget's cancel ended it, not the worker's own limit.
    EXPECT_TRUE(g_cancelled);
  }
  {
    UseWorker(true, 0);
    auto q = Device();
    BlockingOperation op;
    ASSERT_TRUE(op.Start(*q, OPERATION_UPGRADE));
    int polls = 0;
    const RunEnd end = op.Wait(*q, 10s, [&] { return ++polls > 2; }, nullptr);
    EXPECT_EQ(end.cause, EndCause::Cancelled);
    EXPECT_EQ(end.result, HTTP_ERROR_CANCELLED);
  }
  // The queue is free again for the next run.
  EXPECT_FALSE(Operations().HasWorker());
  EXPECT_FALSE(Operations().QueueBusy());
}

TEST(BlockingOperation, ADeviceWithoutAnAddressIsNotStarted) {
  UseWorker(false, 0);
  auto q = Device();
  q->record->setIp(0);
  BlockingOperation op;
  EXPECT_FALSE(op.Start(*q, OPERATION_UPGRADE));
}

}  // namespace
