#include "FtpClient.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "net/PasswordMask.h"

namespace quillbox {
namespace {

// Owns a file descriptor of a local file.
class FileHandle {
 public:
  FileHandle() = default;
  ~FileHandle() { Reset(-1); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int Fd() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Opens the image to upload. Not blocking on open, so a FIFO cannot hold the
// session before anything is sent; only a regular file is an image (a folder
// opens on Linux too).
Failure OpenImage(const std::string& path, FileHandle* file) {
  file->Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (file->Fd() < 0 || ::fstat(file->Fd(), &st) != 0 || !S_ISREG(st.st_mode))
    return Failure::General("Cannot open file " + path);
  return {};
}

// "PORT h1,h2,h3,h4,p1,p2" naming a local endpoint.
std::string PortCommand(const net::Endpoint& local) {
  const uint32_t ip = ntohl(local.ip);
  char text[64];
  std::snprintf(text, sizeof text, "PORT %u,%u,%u,%u,%u,%u", (ip >> 24) & 255, (ip >> 16) & 255,
                (ip >> 8) & 255, ip & 255, local.port >> 8, local.port & 255);
  return text;
}

bool IsTrimmed(unsigned char c) { return c <= ' ' || c == 127; }

std::string ReplaceEol(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "<EOL>";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Whether the first three characters of a and b agree, letter case
// ignored. Byte by byte: a NUL from the peer is a character like any other,
// where a C string comparison would stop at it.
bool SameCode(const std::string& a, const std::string& b) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < 3; ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

int ParseReplyCode(const std::string& line) {
  if (line.size() < 3) return 0;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

}  // namespace

std::string TraceText(const std::string& wire) {
  // The trace goes to standard error and into the session's list: the
  // password command shows that it was sent, never what.
  const size_t kPassLen = net::FTP_PASS_COMMAND.size();
  if (wire.size() >= kPassLen &&
      strncasecmp(wire.c_str(), net::FTP_PASS_COMMAND.data(), kPassLen) == 0) {
    const bool eol = wire.size() >= kPassLen + 2 && wire.compare(wire.size() - 2, 2, "\r\n") == 0;
    return net::HidePasswordBetween(wire, kPassLen, eol ? wire.size() - 2 : std::string::npos);
  }
  return wire;
}

std::string TrimReplyLine(const std::string& line) {
  size_t begin = 0;
  size_t end = line.size();
  while (begin < end && IsTrimmed(static_cast<unsigned char>(line[begin]))) ++begin;
  while (end > begin && IsTrimmed(static_cast<unsigned char>(line[end - 1]))) --end;
  return line.substr(begin, end - begin);
}

std::string ProtocolLog::FormatLine(const std::string& event) const {
  std::string line;
  if (LogTime) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    line = std::string(stamp) + ": ";
  }
  line += event;
  return ReplaceEol(line);
}

void ProtocolLog::Log(const std::string& event) const {
  std::string line = FormatLine(event);
  if (OnLogItem) OnLogItem(line);
  if (Target == ltDebugOutput) {
    std::string out = line + "\n";
    // One write per line keeps lines from several threads apart.
    ssize_t ignored = ::write(STDERR_FILENO, out.data(), out.size());
    (void)ignored;
  }
}

bool FtpClient::TakeLine(std::string* line) {
  size_t lf = input_.find('\n', inputPos_);
  if (lf == std::string::npos) return false;
  size_t end = lf;
  if (end > inputPos_ && input_[end - 1] == '\r') --end;
  line->assign(input_, inputPos_, end - inputPos_);
  // Consumed lines are dropped only before the next read: erasing each one
  // from the front would make a reply of many short lines cost the square
  // of its length.
  inputPos_ = lf + 1;
  return true;
}

void FtpClient::ClearInput() {
  input_.clear();
  inputPos_ = 0;
}

bool FtpClient::AbortDue() const {
  if (!abort_) return false;
  if (AbortAfterSilenceMs <= 0) return true;
  return std::chrono::steady_clock::now() - lastTraffic_ >= std::chrono::milliseconds(AbortAfterSilenceMs);
}

Failure FtpClient::Fill() {
  char buffer[kChunkSize];
  size_t got = 0;
  int err = control_.Recv(buffer, sizeof buffer, &got);
  if (err == EAGAIN || err == EWOULDBLOCK) return {};
  if (err) return Failure::SocketError(err);
  NoteTraffic();
  if (got == 0) {
    // The peer is gone; what is buffered can still be read.
    control_.Close();
    return {};
  }
  Log("Recv: " + std::string(buffer, got));
  input_.erase(0, inputPos_);
  inputPos_ = 0;
  input_.append(buffer, got);
  return {};
}

Failure FtpClient::NextRawLine(int timeoutMs, std::string* line, bool* got) {
  *got = false;
  for (;;) {
    // Every pass, not only an idle one: a peer that keeps sending, however
    // slowly, must not hold an aborted caller.
    if (AbortDue()) return Failure::Closed();
    // A peer that never ends its line would make us buffer forever. Judged
    // by the line's text, not by how it arrived: the buffer may hold a
    // line of the limit and its CR before the LF comes, and a line past the
    // limit fails even when its LF came in the same read.
    const bool took = TakeLine(line);
    if (took ? line->size() > MaxLineLength : input_.size() - inputPos_ > MaxLineLength + 1) {
      line->clear();
      control_.Close();
      ClearInput();
      Log("Disconnected.");
      return Failure::General("Reply line too long.");
    }
    if (took) {
      *got = true;
      return {};
    }
    if (!control_.IsOpen()) return Failure::Closed();
    bool ready = false;
    if (timeoutMs < 0) {
      int err = control_.WaitReadable(IdleTimeOut, &ready);
      if (err) return Failure::SocketError(err);
    } else {
      // The first slice takes the remainder so that the others are whole.
      int remaining = timeoutMs;
      int slice = timeoutMs % IdleTimeOut;
      if (slice == 0) slice = std::min(IdleTimeOut, remaining);
      for (;;) {
        int err = control_.WaitReadable(slice, &ready);
        if (err) return Failure::SocketError(err);
        remaining -= slice;
        if (ready || remaining <= 0) break;
        if (AbortDue()) return Failure::Closed();
        slice = IdleTimeOut;
      }
      if (!ready) return {};
    }
    if (ready) {
      if (Failure f = Fill()) return f;
    }
  }
}

Failure FtpClient::NextReplyLine(std::string* line) {
  for (;;) {
    std::string raw;
    bool got = false;
    if (Failure f = NextRawLine(-1, &raw, &got)) return f;
    replyBytes_ += raw.size() + 1;
    if (replyBytes_ > MaxReplySize) {
      // Blank or continuation lines without end would hold us forever.
      control_.Close();
      ClearInput();
      Log("Disconnected.");
      return Failure::General("Reply too long.");
    }
    *line = TrimReplyLine(raw);
    if (!line->empty()) return {};
  }
}

Failure FtpClient::ReadReply(std::initializer_list<int> accepted) {
  replyLines_.clear();
  replyCode_ = 0;
  replyBytes_ = 0;
  std::string line;
  if (Failure f = NextReplyLine(&line)) return f;
  replyLines_.push_back(line);
  if (line.size() > 3 && line[3] == '-') {
    const std::string prefix = line.substr(0, 3);
    for (;;) {
      if (Failure f = NextReplyLine(&line)) return f;
      replyLines_.push_back(line);
      if (line.size() < 4) break;
      if (SameCode(line, prefix) && line[3] == ' ') break;
    }
  }
  replyCode_ = ParseReplyCode(replyLines_.back());
  if (accepted.size() > 0 &&
      std::find(accepted.begin(), accepted.end(), replyCode_) == accepted.end())
    return Failure::Reply(replyCode_, replyLines_.back());
  return {};
}

Failure FtpClient::SendCommand(const std::string& text) {
  // Every command passes here: nothing that ends a line goes out inside one.
  if (HasLineBreak(text)) return Failure::General("A command may not contain a line break.");
  if (control_.IsOpen()) {
    // A peer that has hung up since our last read shows up as a readable
    // end of stream; writing first would turn it into a reset instead.
    bool ready = false;
    if (control_.WaitReadable(0, &ready) == 0 && ready) {
      if (Failure f = Fill()) return f;
    }
  }
  if (!control_.IsOpen()) {
    // A peer that said something before it hung up (a "421" on its way out,
    // say) has that reply read as the answer; only with nothing complete
    // left is the connection simply closed.
    return HasBufferedLine() ? Failure{} : Failure::Closed();
  }
  const std::string wire = text + "\r\n";
  int err = control_.SendAll(wire.data(), wire.size());
  Log("Sent: " + TraceText(wire));
  NoteTraffic();
  if (err) return Failure::SocketError(err);
  return {};
}

Failure FtpClient::Command(const std::string& text, std::initializer_list<int> accepted) {
  if (Failure f = SendCommand(text)) return f;
  return ReadReply(accepted);
}

Failure FtpClient::ConnectSocket(const net::Endpoint& server) {
  if (int err = control_.OpenTcp()) return Failure::SocketError(err);
  NoteTraffic();
  // No time limit of its own; but an address that swallows the handshake
  // would otherwise hold the caller for the system's whole connect time-out
  // after a cancel.
  const int err = control_.Connect(server, net::Socket::Clock::time_point::max(), IdleTimeOut,
                                   [this] { return !AbortDue(); });
  if (err == ECANCELED) return Failure::Closed();
  if (err) return Failure::SocketError(err);
  return {};
}

Failure FtpClient::Login() {
  if (Failure f = ReadReply({220})) return f;
  if (Failure f = Command("user " + User, {230, 331})) return f;
  if (replyCode_ == 331) {
    if (Failure f = Command("pass " + Password, {230})) return f;
  }
  if (Failure f = Command(std::string("type ") + (TransferType == ftBinary ? "I" : "A"), {200}))
    return f;
  return Command("syst", {200, 215, 500});
}

Failure FtpClient::Connect(bool autoLogin) {
  if (control_.IsOpen()) return Failure::General("Already connected.");
  // The last reply stays: it is the most recent one until a new one comes,
  // and a refused connection reports it.
  ClearInput();
  uint32_t ip = 0;
  Failure f;
  if (int err = net::ResolveIpv4(Host, &ip)) {
    f = Failure::SocketError(err);
  } else {
    f = ConnectSocket({ip, static_cast<uint16_t>(Port)});
  }
  if (f) {
    control_.Close();
    Log("Disconnected.");
    Disconnect();
    return f;
  }
  Log("Connected.");
  return Greet(autoLogin);
}

Failure FtpClient::Attach(net::Socket connected, bool autoLogin) {
  if (control_.IsOpen()) return Failure::General("Already connected.");
  ClearInput();
  control_ = std::move(connected);
  if (!control_.IsOpen()) return Failure::Closed();
  // The silence an abort waits for counts from here, as from a connect.
  NoteTraffic();
  Log("Connected.");
  return Greet(autoLogin);
}

Failure FtpClient::Greet(bool autoLogin) {
  Failure f = autoLogin ? Login() : ReadReply({220});
  if (f) Disconnect();
  return f;
}

void FtpClient::ReleaseData() {
  std::lock_guard lock(dataMutex_);
  data_.Close();
}

Failure FtpClient::Upload(int fileFd) {
  struct stat st {};
  if (::fstat(fileFd, &st) != 0) return Failure::General(net::SystemErrorText(errno));
  off_t left = st.st_size;
  std::vector<char> buffer(kChunkSize);
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<off_t>(left, static_cast<off_t>(kChunkSize)));
    ssize_t n;
    do {
      n = ::read(fileFd, buffer.data(), want);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Failure::General(net::SystemErrorText(errno));
    if (n == 0) return Failure::General("No data to read.");
    if (dataClosed_ || AbortDue()) return Failure::Closed();
    if (int err = data_.SendAll(buffer.data(), static_cast<size_t>(n)))
      return Failure::SocketError(err);
    left -= n;
  }
  return {};
}

Failure FtpClient::ListenForData(net::Endpoint* listening, net::Endpoint* server) {
  net::Endpoint local;
  if (int err = control_.LocalAddress(&local)) return Failure::SocketError(err);
  if (int err = control_.PeerAddress(server)) return Failure::SocketError(err);
  net::Socket listener;
  if (int err = listener.OpenTcp()) return Failure::SocketError(err);
  if (int err = listener.Bind({local.ip, 0})) return Failure::SocketError(err);
  if (int err = listener.Listen(1)) return Failure::SocketError(err);
  if (int err = listener.LocalAddress(listening)) return Failure::SocketError(err);
  std::lock_guard lock(dataMutex_);
  data_ = std::move(listener);
  dataClosed_ = false;
  return {};
}

Failure FtpClient::AcceptDataConnection(uint32_t serverIp) {
  net::Socket connection;
  for (;;) {
    // Connections from other hosts keep the wait busy: look every pass.
    if (dataClosed_ || AbortDue()) return Failure::Closed();
    bool ready = false;
    if (int err = data_.WaitReadable(IdleTimeOut, &ready)) return Failure::SocketError(err);
    if (dataClosed_) return Failure::Closed();
    if (ready) {
      net::Endpoint from;
      int err = data_.Accept(&connection, &from);
      // Only the server may fetch the file: a connection from another host
      // is dropped and the wait goes on.
      if (err == 0 && from.ip == serverIp) break;
      if (err == 0) {
        connection.Close();
        continue;
      }
      if (err != EAGAIN && err != EWOULDBLOCK && err != ECONNABORTED)
        return Failure::SocketError(err);
    }
  }
  std::lock_guard lock(dataMutex_);
  data_ = std::move(connection);  // the listening socket closes here
  return {};
}

Failure FtpClient::EndTransfer() {
  ReleaseData();
  if (Failure f = ReadReply({225, 226, 250, 426})) return f;
  if (replyCode_ == 426) return ReadReply({226});
  return {};
}

Failure FtpClient::Put(const std::string& localPath, const std::string& remoteName, bool append) {
  FileHandle file;
  if (Failure f = OpenImage(localPath, &file)) return f;
  if (!control_.IsOpen()) return Failure::Closed();
  net::Endpoint listening, server;
  if (Failure f = ListenForData(&listening, &server)) return f;
  // From here on the data socket goes with the upload, however it ends.
  struct Release {
    FtpClient* self;
    ~Release() { self->ReleaseData(); }
  } release{this};
  if (Failure f = Command(PortCommand(listening), {200})) return f;
  if (Failure f = Command((append ? "APPE " : "STOR ") + remoteName, {125, 150})) return f;
  if (Failure f = AcceptDataConnection(server.ip)) return f;
  if (Failure f = Upload(file.Fd())) return f;
  return EndTransfer();
}

Failure FtpClient::Site(const std::string& command) { return Command("SITE " + command, {200}); }

std::string FtpClient::LastReplyLine() const {
  return replyLines_.empty() ? std::string() : replyLines_.back();
}

Failure FtpClient::ReadLine(int timeoutMs, std::string* line) {
  line->clear();
  bool got = false;
  Failure f = NextRawLine(std::max(timeoutMs, 0), line, &got);
  if (f || !got) line->clear();
  return f;
}

void FtpClient::Disconnect() {
  if (control_.IsOpen()) control_.Close();
  ClearInput();
  Log("Disconnected.");
}

Failure FtpClient::CloseDataConnection() {
  std::lock_guard lock(dataMutex_);
  if (!data_.IsOpen()) return {};
  dataClosed_ = true;
  if (int err = data_.Shutdown()) return Failure::SocketError(err);
  return {};
}

}  // namespace quillbox
