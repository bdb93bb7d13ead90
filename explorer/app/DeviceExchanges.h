#pragma once
// The window's device exchanges run on a thread of their own, so that the
// user-interface thread never waits on the network and no handler ever runs
// inside another. A handler co_awaits Run(work): `work(transport)` runs on
// the exchange thread, the thread is joined, and the handler goes on with
// the result when the event carrying it comes round in the window's event
// loop.
#include <QObject>
#include <coroutine>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "explorer/protocol/DeviceSocket.h"

class DeviceExchanges {
 public:
  // Results are delivered to the thread `home` lives in, through its event
  // queue.
  explicit DeviceExchanges(QObject& home) : home_(home) {}
  // Cancels the exchange still running and joins its thread. The handler
  // awaiting it is not resumed: its event goes with `home`.
  ~DeviceExchanges();
  DeviceExchanges(const DeviceExchanges&) = delete;
  DeviceExchanges& operator=(const DeviceExchanges&) = delete;

  template <class Work>
  class Awaiter {
   public:
    using Result = std::invoke_result_t<Work&, CDeviceSocket&>;
    static_assert(!std::is_void_v<Result>, "an exchange gives a result");
    Awaiter(DeviceExchanges& owner, Work work) : owner_(owner), work_(std::move(work)) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handler) {
      // The awaiter lives in the handler's frame, which stays put until the
      // handler is resumed, after the exchange thread has been joined.
      owner_.Start([this] { result_.emplace(work_(owner_.transport_)); }, handler);
    }
    Result await_resume() { return std::move(*result_); }

   private:
    DeviceExchanges& owner_;
    Work work_;
    std::optional<Result> result_;  // written by the exchange thread before it is joined
  };

  // Awaitable: runs work(CDeviceSocket&) on the exchange thread and gives
  // its result. The work may use the transport and whatever the awaiting
  // frame owns; nothing of the window except atomics.
  template <class Work>
  Awaiter<Work> Run(Work work) {
    return Awaiter<Work>(*this, std::move(work));
  }

  // Ends the running exchange's wait within one slice of the transport.
  // Safe from any thread; the one thing besides the exchange thread that
  // touches the transport.
  void Cancel() { transport_.CancelRequest(); }
  // An exchange thread exists (running, or done and not yet joined).
  bool Running() const { return worker_.joinable(); }

 private:
  void Start(std::function<void()> job, std::coroutine_handle<> handler);

  QObject& home_;
  // Used by the exchange thread alone while an exchange runs, and by nobody
  // between exchanges; Cancel's flags are atomics.
  CDeviceSocket transport_;
  // The running exchange; created and joined on the user-interface thread.
  std::thread worker_;
};
