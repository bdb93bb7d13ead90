#pragma once
// One firmware upgrade of one device over FTP: upload "release.pak", tell
// the device to upgrade (or reboot), wait for it to come back, log in again
// and mark the new firmware stable. Created by Upgrade, run once, destroyed.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "EchoProbe.h"
#include "FtpClient.h"
#include "LibraryState.h"

namespace quillbox {

enum SessionStep : int {
  NotStarted = 0,
  Connecting = 1,
  Uploading = 2,
  SendingSiteCommand = 3,
  WaitingForDevice = 4,
};

// Pauses, limits and peers of the session; tests shorten and redirect them.
struct SessionSettings {
  int pollIntervalMs = 1000;
  int replyCheckLimit = 120;  // the check stops once its count exceeds this
  int restartPauses = 11;
  int echoLimit = 121;
  int echoTimeoutMs = 1000;
  int readLineTimeoutMs = 1000;
  int ftpPort = 21;
  std::string echoHost;  // empty: the FTP host
  // In the login after the restart and the "stable" command a cancel does
  // not count, except to end a wait on a device silent this long.
  int lateCancelSilenceMs = 10000;
};

// The trace list: appended from the session thread and, for the cancel
// notice, from the cancelling thread.
class TraceList {
 public:
  void Append(const std::string& line);
  std::vector<std::string> Lines() const;
  int Selected() const;

 private:
  mutable std::mutex mutex_;  // guards lines_ and selected_
  std::vector<std::string> lines_;
  int selected_ = -1;
};

class TFTPClientForm : public Operation {
 public:
  TFTPClientForm(std::string host, std::string user, std::string password, std::string imagePath,
                 int32_t deviceKind, SessionSettings settings = {});
  ~TFTPClientForm() override;
  TFTPClientForm(const TFTPClientForm&) = delete;
  TFTPClientForm& operator=(const TFTPClientForm&) = delete;

  // Runs the whole session; the outcome goes to the library's last error.
  void RunSession();
  // From another thread; returns at once.
  void CancelSession();
  void Cancel() override { CancelSession(); }
  void AddTraceLine(const std::string& line);

  // Members in the order of the form.
  TraceList DebugListBox;
  quillbox::FtpClient FtpClient;
  quillbox::ProtocolLog ProtocolLog;
  quillbox::EchoProbe EchoProbe;
  const std::string host;
  const std::string user;
  const std::string password;
  const std::string imagePath;
  const int32_t deviceKind;
  std::atomic<bool> cancelRequested{false};
  std::atomic<int> step{NotStarted};

 private:
  // Steps 4 to 12; failures come back for classification.
  Failure RunSteps();
  void Pause() const;
  bool CancelTookEffect() const;

  SessionSettings settings_;
  // Set once the session has reached the login after the restart, where a
  // cancel no longer ends it. The session thread's own.
  bool pastCancelPoints_ = false;
};

// Removes a leading FTP reply code and the blank behind it.
std::string RemoveReplyCode(const std::string& text);

}  // namespace quillbox
