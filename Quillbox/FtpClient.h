#pragma once
// The FTP client of the upgrade: one control connection, login, binary type,
// upload of one file over an active-mode data connection, SITE commands and
// a protocol log of the control connection. Runs on the caller's thread;
// only CloseDataConnection and AbortWaits may be called from another one.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Failure.h"
#include "net/Socket.h"

namespace quillbox {

enum TLogTarget { ltNone, ltDebugOutput };

class ProtocolLog {
 public:
  bool LogTime = true;
  TLogTarget Target = ltDebugOutput;
  // Receives each finished line before it goes to the debug output.
  std::function<void(const std::string&)> OnLogItem;
  bool Active = false;

  // Composes the line (time stamp, CR LF shown as "<EOL>") and hands it on.
  void Log(const std::string& event) const;
  // The finished line for an event, without handing it on.
  std::string FormatLine(const std::string& event) const;
};

enum TFtpTransferType { ftBinary, ftASCII };

// CR or LF ends a command on the control connection, so a text holding one
// would smuggle what follows it in as a command of its own.
inline bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// A command line as the trace shows it: the password of "pass" replaced by
// "****", every other command unchanged.
std::string TraceText(const std::string& wire);

class FtpClient {
 public:
  // A control line whose text (without its line end) is longer than this
  // fails the connection, however its bytes arrive.
  static constexpr size_t kMaxLineLength = 64 * 1024;
  // A reply (blank lines before it included) that grows past this fails
  // the connection as well.
  static constexpr size_t kMaxReplySize = 1024 * 1024;
  static constexpr size_t kChunkSize = 32768;

  FtpClient() = default;
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  std::string Host;
  int Port = 21;
  std::string User;
  std::string Password;
  TFtpTransferType TransferType = ftBinary;
  // Waits for network input run in slices of this length.
  int IdleTimeOut = 250;
  // Attached log of the control connection; may stay null.
  const quillbox::ProtocolLog* ProtocolLog = nullptr;
  // The limits above for this client: a test of what happens at them can
  // lower them, so that reaching them costs little.
  size_t MaxLineLength = kMaxLineLength;
  size_t MaxReplySize = kMaxReplySize;

  Failure Connect(bool autoLogin);
  // Connect from the point where the control connection stands: takes an
  // already connected stream socket and reads the greeting (and logs in
  // when asked), as Connect does after its TCP handshake.
  Failure Attach(net::Socket connected, bool autoLogin);
  Failure Put(const std::string& localPath, const std::string& remoteName, bool append);
  Failure Site(const std::string& command);
  std::string LastReplyLine() const;
  // The next raw line within timeoutMs (empty text when none completes).
  Failure ReadLine(int timeoutMs, std::string* line);
  void Disconnect();
  // From any thread: closes the data connection or its listening socket.
  Failure CloseDataConnection();
  // From any thread: from now on every wait on the peer (connect, reply,
  // ReadLine, the data connection) fails as a closed connection at its next
  // pass, at most IdleTimeOut later, whatever the peer sends meanwhile.
  void AbortWaits() { abort_ = true; }
  // With a value above 0, an abort ends a wait only once the peer has been
  // completely silent this long (no byte received, nothing sent to it, no
  // connect started): a device that is answering is not cut off.
  int AbortAfterSilenceMs = 0;

  bool IsConnected() const { return control_.IsOpen(); }
  int LastReplyCode() const { return replyCode_; }
  const std::vector<std::string>& LastReply() const { return replyLines_; }

 private:
  Failure SendCommand(const std::string& text);
  // Reads one (possibly multi-line) reply; checks it against accepted codes
  // when the list is not empty.
  Failure ReadReply(std::initializer_list<int> accepted);
  Failure Command(const std::string& text, std::initializer_list<int> accepted);
  // Next trimmed non-empty line, waiting without limit.
  Failure NextReplyLine(std::string* line);
  // Next raw line (LF and CR before it removed) or empty if limited wait ran
  // out; timeoutMs < 0 waits without limit.
  Failure NextRawLine(int timeoutMs, std::string* line, bool* got);
  // One read from the control connection into the input buffer.
  Failure Fill();
  Failure ConnectSocket(const net::Endpoint& server);
  Failure Login();
  // The steps after the handshake; a failure closes the connection.
  Failure Greet(bool autoLogin);
  // The steps of Put: a listening data socket on the control connection's
  // local address (handed to data_), the server's connection to it, the
  // file's bytes, and the end-of-transfer reply.
  Failure ListenForData(net::Endpoint* listening, net::Endpoint* server);
  Failure AcceptDataConnection(uint32_t serverIp);
  Failure Upload(int fileFd);
  Failure EndTransfer();
  void ReleaseData();
  void Log(const std::string& event) const {
    if (ProtocolLog && ProtocolLog->Active) ProtocolLog->Log(event);
  }
  bool TakeLine(std::string* line);
  void ClearInput();
  bool HasBufferedLine() const { return input_.find('\n', inputPos_) != std::string::npos; }
  // Whether an abort ends waits now.
  bool AbortDue() const;
  void NoteTraffic() { lastTraffic_ = std::chrono::steady_clock::now(); }

  net::Socket control_;
  std::string input_;
  size_t inputPos_ = 0;  // where the unread part of input_ begins
  std::vector<std::string> replyLines_;
  int replyCode_ = 0;
  size_t replyBytes_ = 0;
  std::atomic<bool> abort_{false};
  std::chrono::steady_clock::time_point lastTraffic_;

  // Guards the existence of data_ (open or released) between Put, which
  // creates and releases it, and CloseDataConnection from another thread.
  // Put uses the descriptor without the lock: only Put ever closes it.
  std::mutex dataMutex_;
  net::Socket data_;
  std::atomic<bool> dataClosed_{false};
};

// Trim of spaces and control characters at both ends.
std::string TrimReplyLine(const std::string& line);

}  // namespace quillbox
