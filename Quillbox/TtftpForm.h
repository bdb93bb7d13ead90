#pragma once
// The TFTP wait: runs a TFTP server and waits, on the calling thread, until
// the first transfer ends, the timer fires, or the wait is cancelled. There
// is no window: the waiting thread handles the server's requests and
// completion reports itself, one at a time.
//
// Modal result: 1 when a transfer ended (successfully or not) or the timer
// fired; 2 when the wait was closed. With no window for a user to close,
// Cancel (the library's Cancel export while the wait is the current
// operation) closes it.
//
// Only files inside the folder of the path given at creation are served.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "LibraryState.h"
#include "TftpHandOver.h"
#include "TftpServer.h"
#include "TftpStream.h"

namespace quillbox {

struct TtftpSettings {
  std::chrono::milliseconds timerInterval{100000};
  TftpServerSettings server;
};

// The wait's timer: runs from creation of the form for its interval.
class TtftpTimer {
 public:
  using Clock = std::chrono::steady_clock;
  void Enable(std::chrono::milliseconds interval) { deadline_ = Clock::now() + interval; }
  Clock::time_point Deadline() const { return deadline_; }
  bool Fired() const { return Clock::now() >= deadline_; }

 private:
  Clock::time_point deadline_ = Clock::time_point::max();
};

class TtftpForm final : public Operation {
 public:
  enum ModalResult { MR_NONE = 0, MR_DONE = 1, MR_CLOSED = 2 };

  TtftpForm(void* owner, std::string filePath, const TtftpSettings& settings = {});
  // Stops the server: running transfers are told to stop (their peers get one
  // ERROR) and joined; their reports are dropped.
  ~TtftpForm() override;
  TtftpForm(const TtftpForm&) = delete;
  TtftpForm& operator=(const TtftpForm&) = delete;

  // Creates and activates the server and starts the timer. A server that
  // cannot bind is reported on standard error; the wait then runs without it.
  void Create();

  // Waits for the modal result, handling the server's hand-overs meanwhile.
  // Ends the server (and its transfers) before returning.
  int ShowModal();

  // From any thread; returns at once. The wait ends with MR_CLOSED.
  void Cancel() override;

  const std::string& BindFailure() const { return bindFailure_; }
  // The server's port once created (0 when it could not bind).
  uint16_t ServerPort() const { return server_ ? server_->BoundPort() : 0; }

 private:
  void ReadFile(TftpAccessEvent& event);
  void WriteFile(TftpAccessEvent& event);
  void TransferComplete(const TftpTransferCompleteEvent& event);
  void EndServer();

  void* owner_;
  std::string filePath_;
  TtftpSettings settings_;
  TftpFolder folder_;
  TtftpTimer timer_;
  std::string bindFailure_;
  std::atomic<int> modalResult_{MR_NONE};
  std::atomic<bool> cancelled_{false};
  // Declared before the server so it outlives it.
  TftpHandOver handOver_;
  std::unique_ptr<TftpServer> server_;
};

// The wait's read handler: opens the requested file when it lies inside
// folder; refuses (GrantAccess false) names outside it; fails with "stream
// error" for what cannot be opened.
void ReadFromFolder(const TftpFolder& folder, TftpAccessEvent& event);

// Settings WaitForFile gives its wait (tests shorten the timer and move the
// port); defaults are the real ones.
void SetWaitSettings(const TtftpSettings& settings);
TtftpSettings WaitSettings();

}  // namespace quillbox
