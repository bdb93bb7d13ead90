// The operation queue with stand-in workers: order, one worker at a time,
// no second worker on a busy device, cancel, and waiting for the worker
// before the devices go away.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/HttpClient.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/operations/Quillbox.h"

namespace {

using namespace std::chrono_literals;

// Plays the main window: reports arrive on worker threads and are handed
// to the test thread, which acts as the user-interface thread.
class Owner : public OperationOwner {
 public:
  void PostOperationDone(int32_t result, CQuillbox* q) override {
    std::lock_guard<std::mutex> g(m_);
    // A window short of memory cannot queue the message.
    if (failPosts_ > 0) {
      --failPosts_;
      throw std::bad_alloc();
    }
    reports_.push_back({result, q});
    cv_.notify_all();
  }
  // The next report, or {-1, nullptr} after 10 s.
  std::pair<int32_t, CQuillbox*> Next() {
    std::unique_lock<std::mutex> g(m_);
    if (!cv_.wait_for(g, 10s, [&] { return !reports_.empty(); })) return {-1, nullptr};
    auto r = reports_.front();
    reports_.erase(reports_.begin());
    return r;
  }
  bool NoneFor(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> g(m_);
    return !cv_.wait_for(g, d, [&] { return !reports_.empty(); });
  }
  void FailPosts(int count) {
    std::lock_guard<std::mutex> g(m_);
    failPosts_ = count;
  }

 private:
  std::mutex m_;  // guards reports_ and failPosts_
  std::condition_variable cv_;
  std::vector<std::pair<int32_t, CQuillbox*>> reports_;
  int failPosts_ = 0;
};

// While one lives, every new thread asks for a stack larger than the
// address space, so the system refuses to start it (EAGAIN), as it does
// under a memory limit.
class ThreadsCannotStart {
 public:
  ThreadsCannotStart() {
    pthread_getattr_default_np(&saved_);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, size_t{1} << 47);
    ok_ = pthread_setattr_default_np(&huge) == 0;
    pthread_attr_destroy(&huge);
  }
  ~ThreadsCannotStart() {
    pthread_setattr_default_np(&saved_);
    pthread_attr_destroy(&saved_);
  }
  ThreadsCannotStart(const ThreadsCannotStart&) = delete;
  ThreadsCannotStart& operator=(const ThreadsCannotStart&) = delete;
  bool Ok() const { return ok_; }

 private:
  pthread_attr_t saved_{};
  bool ok_ = false;
};

// Workers that run until the test opens their device's gate (or their
// request is closed), remembering which device started when.
class Workers {
 public:
  int32_t Run(CQuillbox& q, int32_t kind) {
    // Published before the start is announced, so a cancel finds it.
    auto request = std::make_shared<HttpRequest>(q.httpClient, HttpTarget{"127.0.0.1", 9, "u", "p"},
                                                 "GET", "/");
    {
      std::lock_guard<std::recursive_mutex> g(q.lock);
      q.request = request;
    }
    {
      std::lock_guard<std::mutex> g(m_);
      started_.push_back({&q, kind});
      ++running_;
      maxRunning_ = std::max(maxRunning_, running_);
      cv_.notify_all();
    }
    int32_t result = 0;
    {
      std::unique_lock<std::mutex> g(m_);
      auto deadline = std::chrono::steady_clock::now() + 10s;
      while (!open_[&q] && !request->Closed() && std::chrono::steady_clock::now() < deadline)
        cv_.wait_for(g, 5ms);
      result = request->Closed() ? HTTP_ERROR_CANCELLED : results_[&q];
      open_[&q] = false;
      --running_;
    }
    std::lock_guard<std::recursive_mutex> g(q.lock);
    q.request.reset();
    q.errorText = "done " + std::to_string(kind);
    return result;
  }
  void Open(CQuillbox* q, int32_t result = 0) {
    std::lock_guard<std::mutex> g(m_);
    open_[q] = true;
    results_[q] = result;
    cv_.notify_all();
  }
  bool WaitStarted(size_t count) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, 10s, [&] { return started_.size() >= count; });
  }
  std::vector<std::pair<CQuillbox*, int32_t>> Started() {
    std::lock_guard<std::mutex> g(m_);
    return started_;
  }
  int MaxRunning() {
    std::lock_guard<std::mutex> g(m_);
    return maxRunning_;
  }

 private:
  std::mutex m_;  // guards every member below
  std::condition_variable cv_;
  std::map<CQuillbox*, bool> open_;
  std::map<CQuillbox*, int32_t> results_;
  std::vector<std::pair<CQuillbox*, int32_t>> started_;
  int running_ = 0;
  int maxRunning_ = 0;
};

std::unique_ptr<CQuillbox> NewDevice(uint8_t last, uint32_t ip = 0) {
  auto q = std::make_unique<CQuillbox>();
  q->record = std::make_unique<DeviceRecord>();
  uint8_t mac[6] = {0x00, 0x50, 0xC2, 0, 0, last};
  q->record->setMac(mac);
  q->record->setIp(ip ? ip : htonl(0x7F000000u | last));
  return q;
}

class QueueTest : public ::testing::Test {
 protected:
  QueueTest() {
    for (int32_t kind = 0; kind < 3; ++kind)
      queue.SetWorker(kind, [this, kind](CQuillbox& q) { return workers.Run(q, kind); });
    queue.SetLibraryCancel([this] { ++libraryCancels; });
  }
  ~QueueTest() override { queue.WaitForRunningOperation(); }

  std::unique_ptr<DeviceOperation> Op(int32_t kind) {
    auto op = std::make_unique<DeviceOperation>();
    op->kind = kind;
    op->owner = &owner;
    return op;
  }
  // What the completion handler does with a report.
  void Complete(CQuillbox* q) {
    ASSERT_TRUE(queue.AcceptReport(q));
    queue.FinishOperation(q);
  }

  // Outlive the queue's last worker (the fixture waits for it first).
  CQuillbox* Device(uint8_t last) {
    devices.push_back(NewDevice(last));
    return devices.back().get();
  }

  std::vector<std::unique_ptr<CQuillbox>> devices;
  Owner owner;
  Workers workers;
  COperationQueue queue;
  int libraryCancels = 0;
};

TEST_F(QueueTest, RunsOneAtATimeInArrivalOrder) {
  auto a = Device(1), b = Device(2), c = Device(3);
  a->errorText = "old failure";
  ASSERT_TRUE(queue.StartOperation(a, Op(OPERATION_RETRIEVE)));
  ASSERT_TRUE(queue.StartOperation(b, Op(OPERATION_UPLOAD)));
  ASSERT_TRUE(queue.StartOperation(c, Op(OPERATION_UPGRADE)));
  ASSERT_TRUE(workers.WaitStarted(1));
  EXPECT_TRUE(queue.QueueBusy());
  EXPECT_TRUE(queue.IsRunning(a));

  workers.Open(a, 0);
  auto r = owner.Next();
  EXPECT_EQ(r.second, a);
  EXPECT_EQ(r.first, 0);
  EXPECT_EQ(workers.Started().size(), 1u) << "b started before a was reported";
  Complete(a);
  EXPECT_FALSE(a->operation) << "a finished operation stays attached";
  ASSERT_TRUE(workers.WaitStarted(2));
  workers.Open(b, 404);
  r = owner.Next();
  EXPECT_EQ(r, std::make_pair(404, b));
  Complete(b);
  ASSERT_TRUE(workers.WaitStarted(3));
  workers.Open(c, 0);
  EXPECT_EQ(owner.Next().second, c);
  Complete(c);
  EXPECT_FALSE(queue.QueueBusy());

  auto started = workers.Started();
  ASSERT_EQ(started.size(), 3u);
  EXPECT_EQ(started[0], std::make_pair(a, OPERATION_RETRIEVE));
  EXPECT_EQ(started[1], std::make_pair(b, OPERATION_UPLOAD));
  EXPECT_EQ(started[2], std::make_pair(c, OPERATION_UPGRADE));
  EXPECT_EQ(workers.MaxRunning(), 1);
}

TEST_F(QueueTest, BusyDeviceGetsNoSecondWorkerAndWaitingDeviceTakesTheNewerRequest) {
  auto a = Device(1), b = Device(2);
  ASSERT_TRUE(queue.StartOperation(a, Op(OPERATION_RETRIEVE)));
  ASSERT_TRUE(workers.WaitStarted(1));
  // Another click on the running device: dropped, its operation unchanged.
  EXPECT_FALSE(queue.StartOperation(a, Op(OPERATION_UPLOAD)));
  EXPECT_EQ(a->operation->kind, OPERATION_RETRIEVE);
  // A waiting device asked twice runs once, with the newer operation.
  ASSERT_TRUE(queue.StartOperation(b, Op(OPERATION_RETRIEVE)));
  ASSERT_TRUE(queue.StartOperation(b, Op(OPERATION_UPGRADE)));

  workers.Open(a);
  EXPECT_EQ(owner.Next().second, a);
  Complete(a);
  ASSERT_TRUE(workers.WaitStarted(2));
  workers.Open(b);
  EXPECT_EQ(owner.Next().second, b);
  Complete(b);
  EXPECT_TRUE(owner.NoneFor(100ms));
  auto started = workers.Started();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[1], std::make_pair(b, OPERATION_UPGRADE));
  EXPECT_EQ(workers.MaxRunning(), 1);
}

TEST_F(QueueTest, DeviceWithoutAddressOrOperationIsNotQueued) {
  auto a = Device(1);
  a->record->setIp(0);
  EXPECT_FALSE(queue.StartOperation(a, Op(OPERATION_RETRIEVE)));
  EXPECT_FALSE(queue.QueueBusy());
  auto b = Device(2);
  EXPECT_FALSE(queue.StartOperation(b, nullptr));
  EXPECT_FALSE(queue.QueueBusy());
}

TEST_F(QueueTest, CancelClosesTheRunningRequestAndDropsTheWaitingOnes) {
  auto a = Device(1), b = Device(2);
  ASSERT_TRUE(queue.StartOperation(a, Op(OPERATION_RETRIEVE)));
  ASSERT_TRUE(queue.StartOperation(b, Op(OPERATION_UPLOAD)));
  ASSERT_TRUE(workers.WaitStarted(1));
  queue.CancelAllOperations();
  EXPECT_FALSE(queue.QueueBusy());
  EXPECT_EQ(libraryCancels, 1);
  auto r = owner.Next();
  EXPECT_EQ(r, std::make_pair(HTTP_ERROR_CANCELLED, a));
  Complete(a);
  EXPECT_TRUE(owner.NoneFor(200ms)) << "a cancelled waiting operation ran";
  EXPECT_EQ(workers.Started().size(), 1u);
  // Both keep their operations; the next request replaces them.
  EXPECT_TRUE(a->operation);
  EXPECT_TRUE(b->operation);
  ASSERT_TRUE(queue.StartOperation(b, Op(OPERATION_RETRIEVE)));
  ASSERT_TRUE(workers.WaitStarted(2));
  workers.Open(b);
  EXPECT_EQ(owner.Next().second, b);
  Complete(b);
}

TEST_F(QueueTest, NextOperationWaitsForTheReportOfACancelledWorker) {
  auto a = Device(1), b = Device(2);
  ASSERT_TRUE(queue.StartOperation(a, Op(OPERATION_UPGRADE)));
  ASSERT_TRUE(workers.WaitStarted(1));
  // An upgrade ends only when the library notices the cancel: the worker
  // is still there after the queue emptied.
  std::shared_ptr<HttpRequest> keep;
  {
    std::lock_guard<std::recursive_mutex> g(a->lock);
    keep = a->request;
  }
  queue.CancelAllOperations();
  ASSERT_TRUE(keep);
  EXPECT_FALSE(keep->Closed()) << "an upgrade has no request to close";
  EXPECT_EQ(libraryCancels, 1);
  // The running device cannot be asked again until its worker reported.
  EXPECT_FALSE(queue.StartOperation(a, Op(OPERATION_RETRIEVE)));
  ASSERT_TRUE(queue.StartOperation(b, Op(OPERATION_RETRIEVE)));
  EXPECT_TRUE(owner.NoneFor(100ms));
  EXPECT_EQ(workers.Started().size(), 1u) << "two workers at once";
  workers.Open(a, HTTP_ERROR_CANCELLED);
  EXPECT_EQ(owner.Next(), std::make_pair(HTTP_ERROR_CANCELLED, a));
  Complete(a);
  ASSERT_TRUE(workers.WaitStarted(2));
  EXPECT_EQ(workers.Started()[1].first, b);
  workers.Open(b);
  EXPECT_EQ(owner.Next().second, b);
  Complete(b);
  EXPECT_EQ(workers.MaxRunning(), 1);
}

TEST_F(QueueTest, WaitingForTheWorkerCancelsItAndMakesItsReportStale) {
  auto a = Device(1);
  ASSERT_TRUE(queue.StartOperation(a, Op(OPERATION_RETRIEVE)));
  ASSERT_TRUE(workers.WaitStarted(1));
  queue.WaitForRunningOperation();
  // The worker has ended; its report still arrives but refers to a device
  // that the window is about to destroy.
  auto r = owner.Next();
  EXPECT_EQ(r.second, a);
  EXPECT_FALSE(queue.AcceptReport(a));
  EXPECT_FALSE(queue.QueueBusy());
  EXPECT_FALSE(queue.IsRunning(a));
  devices.clear();  // nothing may touch them now
}

// What a worker throws (memory, a system call's failure, anything) ends
// its operation as a failure with a text; the program and the queue go on.
TEST_F(QueueTest, WorkerThatThrowsFailsItsOperationAndTheQueueGoesOn) {
  auto a = Device(1), b = Device(2), c = Device(3), d = Device(4);
  queue.SetWorker(OPERATION_UPLOAD, [&](CQuillbox& q) -> int32_t {
    if (&q == a) throw std::bad_alloc();
    if (&q == b) throw std::system_error(EIO, std::generic_category(), "reading the file");
    if (&q == c) throw 42;
    return 0;
  });
  for (CQuillbox* q : {a, b, c, d}) ASSERT_TRUE(queue.StartOperation(q, Op(OPERATION_UPLOAD)));
  const struct {
    CQuillbox* q;
    int32_t result;
    std::string text;
  } expected[] = {
      {a, OPERATION_OUT_OF_MEMORY, "Not enough memory"},
      {b, EIO, std::string("reading the file: ") + std::strerror(EIO)},
      {c, -1, "Unexpected failure"},
      {d, 0, ""},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.text);
    EXPECT_EQ(owner.Next(), std::make_pair(e.result, e.q));
    EXPECT_EQ(e.q->errorText, e.text);
    Complete(e.q);
  }
  EXPECT_FALSE(queue.QueueBusy());
}

TEST_F(QueueTest, ReportThatCannotBePostedAtOnceArrivesLater) {
  auto a = Device(1);
  owner.FailPosts(3);
  ASSERT_TRUE(queue.StartOperation(a, Op(OPERATION_RETRIEVE)));
  ASSERT_TRUE(workers.WaitStarted(1));
  workers.Open(a, 404);
  EXPECT_EQ(owner.Next(), std::make_pair(404, a));
  Complete(a);
}

// A worker the system will not start fails its operation with the
// system's words, reported as any worker's result is; the next operation
// starts once that report is handled.
TEST_F(QueueTest, WorkerThatCannotStartFailsItsOperationWithTheSystemsText) {
  auto a = Device(1), b = Device(2);
  {
    ThreadsCannotStart refused;
    ASSERT_TRUE(refused.Ok());
    EXPECT_TRUE(queue.StartOperation(a, Op(OPERATION_UPGRADE)));
    ASSERT_TRUE(queue.StartOperation(b, Op(OPERATION_RETRIEVE)));
    const auto r = owner.Next();
    EXPECT_EQ(r, std::make_pair(int32_t{EAGAIN}, a));
    EXPECT_EQ(a->errorText, std::strerror(EAGAIN));
    EXPECT_TRUE(queue.IsRunning(a)) << "its report is not handled yet";
    EXPECT_TRUE(owner.NoneFor(50ms)) << "b did not wait for a's report";
  }
  Complete(a);
  ASSERT_TRUE(workers.WaitStarted(1));
  EXPECT_EQ(workers.Started()[0].first, b);
  workers.Open(b);
  EXPECT_EQ(owner.Next(), std::make_pair(0, b));
  Complete(b);
  EXPECT_TRUE(workers.Started().size() == 1u);
}

TEST(FileErrors, TextsNameTheFile) {
  EXPECT_EQ(FileErrorText(FileErrorCause(ENOENT, false), "/tmp/x.txt"), "/tmp/x.txt was not found.");
  EXPECT_EQ(FileErrorText(FileErrorCause(ENOENT, true), "/no/dir/x.txt"),
            "/no/dir/x.txt contains an invalid path.");
  EXPECT_EQ(FileErrorText(FileErrorCause(EACCES, true), "a"), "Access to a was denied.");
  EXPECT_EQ(FileErrorText(FileErrorCause(ENOSPC, true), "a"), "Disk full while accessing a.");
  EXPECT_EQ(FileErrorText(FileErrorCause(EMFILE, false), "a"),
            "a could not be opened because there are too many open files.");
  EXPECT_EQ(FileErrorText(9, "a"), "Seek failed on a");
  EXPECT_EQ(FileErrorText(FileErrorCause(EXDEV, true), "a"),
            "An unknown error occurred while accessing a.");
  // Long paths are cut to the message limit rather than overflowing it.
  EXPECT_EQ(FileErrorText(2, std::string(600, 'p')).size(), 510u);
}

TEST(FileErrors, AdministratorUserIsLowerCase) { EXPECT_EQ(AdministratorUser(), "root"); }

}  // namespace
