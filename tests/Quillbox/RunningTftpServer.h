#pragma once
// The TFTP server alone, running on a thread of its own: for the tests and
// the throughput bench alike, so it keeps clear of any test framework.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "TtftpForm.h"

namespace tftptest {

using namespace std::chrono_literals;

inline quillbox::TtftpSettings FastSettings() {
  quillbox::TtftpSettings s;
  s.timerInterval = 30s;
  s.server.port = 0;
  s.server.retryTimeout = 300ms;
  s.server.stopCheck = 20ms;
  return s;
}

// The server alone, serving the folder of filePath the way the wait does, but
// going on after transfers end; its hand-overs are handled on a thread of
// its own. Counts completions and keeps the last one's success flag.
class RunningServer {
 public:
  explicit RunningServer(const std::string& filePath, const quillbox::TtftpSettings& settings = FastSettings())
      : folder_(quillbox::TftpFolder::OfFile(filePath)), server_(handOver_, settings.server) {
    server_.OnReadFile = [this](quillbox::TftpAccessEvent& e) {
      if (beforeRead_) beforeRead_(e);
      quillbox::ReadFromFolder(folder_, e);
    };
    server_.OnWriteFile = [](quillbox::TftpAccessEvent& e) { e.GrantAccess = false; };
    server_.OnTransferComplete = [this](const quillbox::TftpTransferCompleteEvent& e) {
      lastSuccess_ = e.Success;
      ++completions_;
    };
    activation_ = server_.Activate().message;
    thread_ = std::thread([this] {
      while (!stop_) handOver_.HandleOne(std::chrono::steady_clock::now() + 20ms);
    });
  }
  ~RunningServer() {
    stop_ = true;
    thread_.join();
    handOver_.Close();
    server_.Deactivate();
  }
  uint16_t Port() const { return server_.BoundPort(); }
  const std::string& Activation() const { return activation_; }
  // Completions so far, after waiting up to timeout for at least want.
  int Completions(int want = 1, std::chrono::milliseconds timeout = 3000ms) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (completions_ < want && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    return completions_;
  }
  bool LastSuccess() const { return lastSuccess_; }
  // Runs ahead of each read request's folder look-up, on the handing-over
  // thread; set it before the first request.
  void BeforeRead(std::function<void(quillbox::TftpAccessEvent&)> hook) { beforeRead_ = std::move(hook); }

 private:
  quillbox::TftpFolder folder_;
  std::function<void(quillbox::TftpAccessEvent&)> beforeRead_;
  quillbox::TftpHandOver handOver_;
  quillbox::TftpServer server_;
  std::string activation_;
  std::atomic<int> completions_{0};
  std::atomic<bool> lastSuccess_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tftptest
