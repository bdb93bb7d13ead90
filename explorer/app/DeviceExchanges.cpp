#include "explorer/app/DeviceExchanges.h"

DeviceExchanges::~DeviceExchanges() {
  if (!worker_.joinable()) return;
  transport_.CancelRequest();
  worker_.join();
}

void DeviceExchanges::Start(std::function<void()> job, std::coroutine_handle<> handler) {
  // The window's commands stay off while an exchange runs, so there is
  // never a second one; should one come anyway, it waits here for the
  // first rather than share the transport with it (the first's delivery
  // then finds its thread joined already).
  if (worker_.joinable()) {
    transport_.CancelRequest();
    worker_.join();
  }
  worker_ = std::thread([this, job = std::move(job), handler] {
    job();
    // Runs on home_'s thread, after Start has returned there.
    QMetaObject::invokeMethod(
        &home_,
        [this, handler, self = std::this_thread::get_id()] {
          // The join is also what makes the job's writes visible to the
          // handler.
          if (worker_.get_id() == self) worker_.join();
          handler.resume();
        },
        Qt::QueuedConnection);
  });
}
