#include "TFTPClientForm.h"

#include <chrono>
#include <exception>
#include <thread>

#include "DeviceKinds.h"

namespace quillbox {
namespace {

constexpr const char* kRemoteImageName = "release.pak";
constexpr const char* kAcceptedMarker = "200";
constexpr const char* kDeviceErrorMarker = "451";
constexpr const char* kLoginRejected = "530 Login incorrect.";
constexpr int32_t kNotSupported = 2002;
constexpr int32_t kLineBreakInLogin = 2003;
constexpr int32_t kLoginIncorrect = 12014;
constexpr int32_t kCancelled = 12017;
constexpr int32_t kOtherFailure = 5;

bool Contains(const std::string& text, const char* what) {
  return text.find(what) != std::string::npos;
}

}  // namespace

void TraceList::Append(const std::string& line) {
  std::lock_guard lock(mutex_);
  lines_.push_back(line);
  selected_ = static_cast<int>(lines_.size()) - 1;
}

std::vector<std::string> TraceList::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

int TraceList::Selected() const {
  std::lock_guard lock(mutex_);
  return selected_;
}

std::string RemoveReplyCode(const std::string& text) {
  if (text.size() <= 3) return text;
  for (int i = 0; i < 3; ++i)
    if (text[i] < '0' || text[i] > '9') return text;
  const size_t blank = text.find(' ');
  if (blank == std::string::npos) return text;
  return text.substr(blank + 1);
}

TFTPClientForm::TFTPClientForm(std::string hostText, std::string userText,
                               std::string passwordText, std::string imagePathText,
                               int32_t kind, SessionSettings settings)
    : host(std::move(hostText)),
      user(std::move(userText)),
      password(std::move(passwordText)),
      imagePath(std::move(imagePathText)),
      deviceKind(kind),
      settings_(std::move(settings)) {
  FtpClient.Port = settings_.ftpPort;
  FtpClient.TransferType = ftBinary;
  FtpClient.IdleTimeOut = 250;
  FtpClient.ProtocolLog = &ProtocolLog;
  ProtocolLog.LogTime = true;
  ProtocolLog.Target = ltDebugOutput;
  ProtocolLog.OnLogItem = [this](const std::string& line) { AddTraceLine(line); };
  ProtocolLog.Active = true;
}

TFTPClientForm::~TFTPClientForm() {
  // The connection still open after a session closes without a command and
  // without a log line.
  ProtocolLog.Active = false;
}

void TFTPClientForm::AddTraceLine(const std::string& line) { DebugListBox.Append(line); }

void TFTPClientForm::Pause() const {
  std::this_thread::sleep_for(std::chrono::milliseconds(settings_.pollIntervalMs));
}

Failure TFTPClientForm::RunSteps() {
  step = Connecting;
  if (Failure f = FtpClient.Connect(true)) return f;

  step = Uploading;
  if (Failure f = FtpClient.Put(imagePath, kRemoteImageName, false)) return f;

  step = SendingSiteCommand;
  if (Failure f = FtpClient.Site(kinds::UpgradesByReboot(deviceKind) ? "Reboot" : "Upgrade")) return f;

  step = WaitingForDevice;
  bool accepted = false;
  for (int count = 0;;) {
    const std::string line = FtpClient.LastReplyLine();
    Pause();
    ++count;
    accepted = Contains(line, kAcceptedMarker);
    if (cancelRequested || count > settings_.replyCheckLimit || accepted) break;
  }
  if (cancelRequested || !accepted) return Failure::Closed();

  FtpClient.Disconnect();

  for (int pauses = 0; pauses < settings_.restartPauses && !cancelRequested; ++pauses) Pause();
  if (cancelRequested) return Failure::Closed();

  EchoProbe.Host = settings_.echoHost.empty() ? FtpClient.Host : settings_.echoHost;
  EchoProbe.ReceiveTimeout = settings_.echoTimeoutMs;
  EchoProbe.Cancelled = [this] { return cancelRequested.load(); };
  bool echoed = false;
  // Looking at the cancel flag between probes only ends the wait earlier:
  // a cancelled wait fails as cancelled either way.
  for (int probes = 0; probes < settings_.echoLimit && !echoed && !cancelRequested; ++probes) {
    if (Failure f = EchoProbe.Ping()) return f;
    echoed = EchoProbe.ReplyStatus().ReplyStatus == rsEcho;
  }
  if (cancelRequested || !echoed) return Failure::Closed();

  // From here on a cancel has no effect on a device that is answering: the
  // new firmware is flashed and must still be marked stable. Only a device
  // that has gone completely silent may be given up.
  pastCancelPoints_ = true;
  FtpClient.AbortAfterSilenceMs = settings_.lateCancelSilenceMs;
  step = Connecting;
  if (Failure f = FtpClient.Connect(true)) return f;

  if (kinds::MarksFirmwareStable(deviceKind)) {
    step = SendingSiteCommand;
    if (Failure f = FtpClient.Site("stable")) return f;
  }
  return {};
}

void TFTPClientForm::RunSession() {
  int32_t code = 0;
  std::string text;
  SetLastError(code, text);
  if (kinds::RefusesFtpUpgrade(deviceKind)) {
    SetLastError(kNotSupported, "Firmware does not support FTP upgrade");
    return;
  }
  // Both go into commands of the control connection as they are; a line
  // break in either would send the device a command of the caller's making.
  if (HasLineBreak(user) || HasLineBreak(password)) {
    SetLastError(kLineBreakInLogin, "The user name or password contains a line break");
    return;
  }
  try {
    FtpClient.Host = host;
    FtpClient.User = user;
    FtpClient.Password = password;
    Failure f = RunSteps();
    switch (f.kind) {
      case FailureKind::None:
        text = "Success";
        break;
      case FailureKind::Socket: {
        code = f.code;
        text = FtpClient.LastReplyLine();
        if (!Contains(text, kDeviceErrorMarker) && FtpClient.IsConnected() && !CancelTookEffect()) {
          // The device may have said why before the connection broke.
          std::string line;
          if (!FtpClient.ReadLine(settings_.readLineTimeoutMs, &line) &&
              Contains(line, kDeviceErrorMarker))
            text = line;
        }
        break;
      }
      case FailureKind::ConnectionClosed:
        code = kCancelled;
        break;
      default:
        code = f.message == kLoginRejected ? kLoginIncorrect : kOtherFailure;
        text = f.message;
        break;
    }
    // Whatever a cancel broke on its way (the upload's data connection
    // closed under a write is a socket error) is the user's own doing, not
    // a failure to show.
    if (f && CancelTookEffect()) {
      code = kCancelled;
      text.clear();
    }
  } catch (const std::exception& e) {
    code = kOtherFailure;
    text = e.what();
  } catch (...) {
    code = kOtherFailure;
    text = "Unexpected failure";
  }
  SetLastError(code, RemoveReplyCode(text));
}

bool TFTPClientForm::CancelTookEffect() const { return cancelRequested && !pastCancelPoints_; }

void TFTPClientForm::CancelSession() {
  cancelRequested = true;
  FtpClient.AbortWaits();
  const int now = step;
  if (now == Uploading || now == SendingSiteCommand) {
    if (FtpClient.CloseDataConnection()) DebugListBox.Append("Cancel Exception reached");
  }
}

}  // namespace quillbox
