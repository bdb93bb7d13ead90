#include "TtftpForm.h"

#include <cstdio>
#include <mutex>

namespace quillbox {
namespace {

// Guards g_waitSettings.
std::mutex g_settingsMutex;
TtftpSettings g_waitSettings;

}  // namespace

void SetWaitSettings(const TtftpSettings& settings) {
  std::lock_guard lock(g_settingsMutex);
  g_waitSettings = settings;
}

TtftpSettings WaitSettings() {
  std::lock_guard lock(g_settingsMutex);
  return g_waitSettings;
}

TtftpForm::TtftpForm(void* owner, std::string filePath, const TtftpSettings& settings)
    : owner_(owner), filePath_(std::move(filePath)), settings_(settings) {}

TtftpForm::~TtftpForm() { EndServer(); }

void TtftpForm::Create() {
  folder_ = TftpFolder::OfFile(filePath_);
  timer_.Enable(settings_.timerInterval);
  server_ = std::make_unique<TftpServer>(handOver_, settings_.server);
  server_->OnReadFile = [this](TftpAccessEvent& e) { ReadFile(e); };
  server_->OnWriteFile = [this](TftpAccessEvent& e) { WriteFile(e); };
  server_->OnTransferComplete = [this](const TftpTransferCompleteEvent& e) { TransferComplete(e); };
  bindFailure_ = server_->Activate().message;
  if (!bindFailure_.empty()) std::fprintf(stderr, "TFTPForm: %s\n", bindFailure_.c_str());
}

int TtftpForm::ShowModal() {
  while (modalResult_ == MR_NONE) {
    if (cancelled_) {
      modalResult_ = MR_CLOSED;
      break;
    }
    if (timer_.Fired()) {
      modalResult_ = MR_DONE;
      break;
    }
    handOver_.HandleOne(timer_.Deadline());
  }
  EndServer();
  return modalResult_;
}

void TtftpForm::Cancel() {
  cancelled_ = true;
  handOver_.Wake();
}

void TtftpForm::EndServer() {
  // Close first: a listener or transfer waiting for this thread is released
  // before the server joins it.
  handOver_.Close();
  server_.reset();
}

void TtftpForm::ReadFile(TftpAccessEvent& event) { ReadFromFolder(folder_, event); }

void ReadFromFolder(const TftpFolder& folder, TftpAccessEvent& event) {
  event.FreeStreamOnComplete = false;
  event.GrantAccess = true;
  std::unique_ptr<TftpFileStream> file;
  switch (folder.Open(event.FileName, &file)) {
    case TftpFolder::Verdict::Outside:
      event.GrantAccess = false;
      return;
    case TftpFolder::Verdict::Missing:
      event.Failure = "stream error";
      return;
    case TftpFolder::Verdict::Inside:
      break;
  }
  event.AStream = std::move(file);
  event.FreeStreamOnComplete = true;
}

void TtftpForm::WriteFile(TftpAccessEvent& event) { event.GrantAccess = false; }

void TtftpForm::TransferComplete(const TftpTransferCompleteEvent&) {
  int none = MR_NONE;
  modalResult_.compare_exchange_strong(none, MR_DONE);
}

}  // namespace quillbox
