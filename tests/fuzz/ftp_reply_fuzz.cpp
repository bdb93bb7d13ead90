// What an FTP server sends on the control connection: the greeting, the
// login dialogue, a SITE reply and raw lines, with multi-line replies,
// blank lines, odd codes, NUL bytes, lines about as long as the line limit
// and replies past the reply limit (the client's limits as they are, or
// lowered so that reaching them is cheap). The server is played on the
// fuzzing thread over a local stream pair: its text is queued whole, as
// far as the stream takes it, or in pieces of a few bytes, and topped up
// whenever the client logs a read; so nothing ever waits. It hangs up once
// everything is queued, or (when the text holds every reply the dialogue
// needs) only once the client has sent a command after that, so that
// commands really go out.
//
// The client's every result is compared with the rules of FTP replies
// applied to the same text (lines end at LF, a CR before it goes, trimmed
// of spaces and control characters, blank ones skipped; a reply whose
// first line has "-" after its code runs to the first line that begins
// with that code and a space, or that is shorter than four characters; the
// code is the last line's first three digits; limits on a line and on a
// reply). Beyond that:
//   - a step that succeeds ended on a code it accepts, 100 to 599;
//   - the client sends a prefix of the dialogue's commands, each whole;
//   - every read is logged with exactly the bytes read, in order, and is
//     at most a chunk; no log line holds a CR LF;
//   - the client reads ahead of what it has used by at most a chunk per
//     command (it looks for a hang-up before each) and one more, plus the
//     line it failed on;
//   - a raw line never holds its line end; a failed Attach closes.
// Input: one byte of choices (login, SITE, ReadLine and its time, when to
// hang up, the limits), one of the text's shape (the pieces it is queued
// in; now and then repeated, or its first line padded to the line limit),
// then the server's bytes.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "FtpClient.h"
#include "FuzzSupport.h"

using namespace quillbox;

namespace {

constexpr size_t kChunk = FtpClient::kChunkSize;

struct Limits {
  size_t line;
  size_t reply;
};
// The client's own, and lowered ones (a line limit shorter than a reply
// code included).
constexpr Limits kLimits[] = {{FtpClient::kMaxLineLength, FtpClient::kMaxReplySize}, {64, 512}, {300, 2000}, {8, 40}};

// Now and then the text repeated (past a chunk, with lowered limits), or
// its first line padded to a lowered line limit or just past it. The
// client's own limits are left to the unit tests: reaching them would
// make every such input cost milliseconds.
std::string Stretch(std::string script, unsigned mode, const Limits& limits) {
  if (script.empty()) return script;
  const bool lowered = limits.line < FtpClient::kMaxLineLength;
  if (mode == 12 || mode == 13) {
    // By doubling: a one-byte text repeated many times must not cost as
    // many appends. Room first, so that the text copies from itself.
    const size_t want = mode == 13 && lowered ? kChunk + 300 : 4096;
    script.reserve(want);
    while (script.size() < want) script.append(script.data(), std::min(script.size(), want - script.size()));
  } else if ((mode == 14 || mode == 15) && lowered) {
    // The first line's text padded before its line end.
    const size_t want = limits.line + (mode == 15 ? 1 : 0);
    size_t end = script.find('\n');
    if (end == std::string::npos) end = script.size();
    if (end > 0 && script[end - 1] == '\r') --end;
    if (end < want) script.insert(end, want - end, 'x');
  }
  return script;
}

// The pieces the server queues its text in: whole, or a few bytes at a time
// (lines, and a CR and its LF, split across reads); never so small that a
// long text takes more than about a hundred reads.
size_t PieceSize(unsigned choice, size_t textSize) {
  static constexpr size_t kPieces[] = {1, 2, 3, 7, 64, 4096};
  if (choice < 10) return textSize;
  return std::max(kPieces[choice - 10], textSize / 100);
}

bool Trimmed(unsigned char c) { return c <= ' ' || c == 127; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && Trimmed(s.front())) s.remove_prefix(1);
  while (!s.empty() && Trimmed(s.back())) s.remove_suffix(1);
  return s;
}

unsigned char Fold(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : static_cast<unsigned char>(c); }

// Whether `line` ends a multi-line reply that began with `first`.
bool EndsReply(std::string_view line, std::string_view first) {
  if (line.size() < 4) return true;
  for (size_t i = 0; i < 3; ++i)
    if (Fold(line[i]) != Fold(first[i])) return false;
  return line[3] == ' ';
}

int CodeOf(std::string_view line) {
  if (line.size() < 3) return 0;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// What one step of the dialogue must come to.
struct Step {
  enum Kind {
    Ok,
    ReplyError,
    Closed,
    LineTooLong,
    ReplyTooLong,
    // The text ends in a piece longer than a line: seen as too long, or
    // (when the end of the stream is met first) as the connection closed.
    EndOrTooLong,
  } kind = Ok;
  std::vector<std::string_view> lines;  // the reply's lines, as far as it got
  int code = 0;
  std::string_view raw;                 // ReadLine's line
  size_t used = 0;                      // bytes of the text used up after the step
  // The last reply that went well before the step: what the client still
  // shows when it fails before reading anything.
  std::vector<std::string_view> before;
  int codeBefore = 0;
};

// The rules applied to the server's text.
class Model {
 public:
  Model(std::string_view text, const Limits& limits) : text_(text), limits_(limits) {}

  Step Reply(std::initializer_list<int> accepted) {
    Step st = Begin();
    size_t bytes = 0;
    auto next = [&](std::string_view* line) {
      for (;;) {
        std::string_view raw;
        if (!NextRaw(&raw, &st)) return false;
        bytes += raw.size() + 1;
        if (bytes > limits_.reply) {
          dead_ = true;
          st.kind = Step::ReplyTooLong;
          return false;
        }
        *line = Trim(raw);
        if (!line->empty()) return true;
      }
    };
    std::string_view line;
    if (next(&line)) {
      st.lines.push_back(line);
      const std::string_view first = line;
      bool complete = true;
      if (first.size() > 3 && first[3] == '-') {
        do {
          complete = next(&line);
          if (complete) st.lines.push_back(line);
        } while (complete && !EndsReply(line, first));
      }
      if (complete) {
        st.code = CodeOf(st.lines.back());
        st.kind = std::find(accepted.begin(), accepted.end(), st.code) != accepted.end() ? Step::Ok
                                                                                         : Step::ReplyError;
        if (st.kind == Step::Ok || st.kind == Step::ReplyError) {
          lastLines_ = st.lines;
          lastCode_ = st.code;
        }
      }
    }
    st.used = pos_;
    return st;
  }

  Step RawLine() {
    Step st = Begin();
    if (NextRaw(&st.raw, &st)) st.kind = Step::Ok;
    st.used = pos_;
    return st;
  }

 private:
  Step Begin() const {
    Step st;
    st.before = lastLines_;
    st.codeBefore = lastCode_;
    return st;
  }
  // The next line without its line end; false with st's kind set when the
  // text has none (Closed), or it is longer than a line may be.
  bool NextRaw(std::string_view* raw, Step* st) {
    if (dead_) {
      // A too long rest may still be buffered when the end was met first.
      st->kind = tooLongRest_ ? Step::EndOrTooLong : Step::Closed;
      return false;
    }
    const size_t lf = text_.find('\n', pos_);
    if (lf == std::string_view::npos) {
      // What is left never becomes a line.
      dead_ = true;
      tooLongRest_ = text_.size() - pos_ > limits_.line + 1;
      st->kind = tooLongRest_ ? Step::EndOrTooLong : Step::Closed;
      return false;
    }
    size_t end = lf;
    if (end > pos_ && text_[end - 1] == '\r') --end;
    if (end - pos_ > limits_.line) {
      dead_ = true;
      st->kind = Step::LineTooLong;
      return false;
    }
    *raw = text_.substr(pos_, end - pos_);
    pos_ = lf + 1;
    return true;
  }

  std::string_view text_;
  Limits limits_;
  size_t pos_ = 0;
  bool dead_ = false;  // the client has closed, or met the end of the stream
  bool tooLongRest_ = false;  // the text ends in more than a line without LF
  std::vector<std::string_view> lastLines_;
  int lastCode_ = 0;
};

// The choices an input makes.
struct Plan {
  bool autoLogin, site, readLine, lateHangUp;
  int readLineMs;
  Limits limits;
};

// The dialogue by the rules: every step's result and the commands sent.
struct Dialogue {
  Step attach;
  Step site;
  Step readLine;
  std::vector<std::string> commands;
  bool needsEnd = false;  // some step can only end at the end of the stream
};

Dialogue Expected(std::string_view text, const Plan& plan) {
  Dialogue d;
  Model m(text, plan.limits);
  auto command = [&](const std::string& c, std::initializer_list<int> accepted) {
    d.commands.push_back(c);
    return m.Reply(accepted);
  };
  d.attach = m.Reply({220});
  if (d.attach.kind == Step::Ok && plan.autoLogin) {
    d.attach = command("user admin", {230, 331});
    if (d.attach.kind == Step::Ok && d.attach.code == 331) d.attach = command("pass secret", {230});
    if (d.attach.kind == Step::Ok) d.attach = command("type I", {200});
    if (d.attach.kind == Step::Ok) d.attach = command("syst", {200, 215, 500});
  }
  auto endsAtTheEnd = [](const Step& st) { return st.kind == Step::Closed || st.kind == Step::EndOrTooLong; };
  d.needsEnd = endsAtTheEnd(d.attach);
  if (d.attach.kind != Step::Ok) return d;
  if (plan.site) {
    d.site = command("SITE STABLE", {200});
    d.needsEnd = d.needsEnd || endsAtTheEnd(d.site);
  }
  if (plan.readLine) d.readLine = m.RawLine();
  return d;
}

// The server's end of the stream, played without a thread.
class Server {
 public:
  Server(std::string_view text, size_t piece, bool lateHangUp) : text_(text), piece_(piece), late_(lateHangUp) {
    FUZZ_CHECK(net::MakeStreamPair(&client_, &server_, net::Blocking::No) == 0);
    TopUp();
  }
  net::Socket Take() { return std::move(client_); }

  // Queues the next piece, as far as the stream takes it; without a late
  // hang-up the stream ends once all is queued.
  void TopUp() {
    const size_t end = queued_ + std::min(piece_, text_.size() - queued_);
    while (queued_ < end) {
      size_t sent = 0;
      const int err = server_.Send(text_.data() + queued_, end - queued_, &sent);
      if (err == EAGAIN || err == EWOULDBLOCK) break;
      FUZZ_CHECK(err == 0 && sent > 0);
      queued_ += sent;
    }
    if (!late_ && queued_ == text_.size()) HangUp();
  }
  // After a command: a late hang-up comes once everything is queued.
  void CommandSent() {
    Drain();
    if (late_ && queued_ == text_.size()) HangUp();
  }
  // From now on the stream ends as soon as all is queued.
  void HangUpWhenDone() {
    late_ = false;
    if (queued_ == text_.size()) HangUp();
  }

 private:
  void HangUp() {
    if (hungUp_) return;
    FUZZ_CHECK(server_.ShutdownSend() == 0);
    hungUp_ = true;
  }

 public:
  // What the client has sent so far.
  const std::string& Received() {
    Drain();
    return received_;
  }

 private:
  void Drain() {
    char buffer[4096];
    for (;;) {
      size_t got = 0;
      if (server_.Recv(buffer, sizeof buffer, &got) != 0 || got == 0) return;
      received_.append(buffer, got);
    }
  }

  std::string_view text_;
  size_t piece_;
  bool late_;
  size_t queued_ = 0;
  bool hungUp_ = false;
  std::string received_;
  net::Socket client_;
  net::Socket server_;
};

// Follows the protocol log: every read's bytes against the text, every
// command line.
class LogCheck {
 public:
  LogCheck(std::string_view text, Server& server) : text_(text), server_(server) {}

  void Take(const std::string& line) {
    FUZZ_CHECK(line.find("\r\n") == std::string::npos);
    static constexpr std::string_view kRecv = "Recv: ", kSent = "Sent: ";
    if (line.compare(0, kRecv.size(), kRecv) == 0) {
      Read(std::string_view(line).substr(kRecv.size()));
      server_.TopUp();
    } else if (line.compare(0, kSent.size(), kSent) == 0) {
      sent.push_back(line.substr(kSent.size()));
      server_.CommandSent();
    } else {
      FUZZ_CHECK(line == "Connected." || line == "Disconnected.");
      last = line;
    }
  }
  size_t read = 0;  // bytes of the text the client has read
  std::vector<std::string> sent;
  std::string last;

 private:
  // The log shows a read's bytes with each CR LF in it as "<EOL>". Runs
  // up to the next CR are compared whole.
  void Read(std::string_view shown) {
    static constexpr std::string_view kEol = "<EOL>";
    const size_t begin = read;
    size_t i = read;
    size_t j = 0;
    while (j < shown.size()) {
      FUZZ_CHECK(i < text_.size());
      const size_t cr = std::min(text_.find('\r', i), text_.size());
      const size_t run = std::min(cr - i, shown.size() - j);
      FUZZ_CHECK(text_.compare(i, run, shown.substr(j, run)) == 0);
      i += run;
      j += run;
      if (j == shown.size() || i == text_.size()) break;
      // At a CR: a CR LF that came in this read shows as "<EOL>".
      if (i + 1 < text_.size() && text_[i + 1] == '\n' && shown.substr(j, kEol.size()) == kEol) {
        i += 2;
        j += kEol.size();
      } else {
        FUZZ_CHECK(shown[j] == '\r');
        ++i;
        ++j;
      }
    }
    FUZZ_CHECK(j == shown.size());
    FUZZ_CHECK(i > begin && i - begin <= kChunk);
    read = i;
  }

  std::string_view text_;
  Server& server_;
};

bool SameLines(const std::vector<std::string>& got, const std::vector<std::string_view>& want) {
  return std::equal(got.begin(), got.end(), want.begin(), want.end());
}

// The client's result of a reply step against the rules'.
void CheckReply(const FtpClient& ftp, const Failure& f, const Step& want) {
  const std::vector<std::string>& lines = ftp.LastReply();
  Step::Kind kind = want.kind;
  if (kind == Step::EndOrTooLong) kind = f.kind == FailureKind::ConnectionClosed ? Step::Closed : Step::LineTooLong;
  switch (kind) {
    case Step::Ok:
      FUZZ_CHECK(!f);
      FUZZ_CHECK(want.code >= 100 && want.code <= 599);
      break;
    case Step::ReplyError:
      FUZZ_CHECK(f.kind == FailureKind::Reply && f.code == want.code && f.message == want.lines.back());
      break;
    case Step::Closed:
      FUZZ_CHECK(f.kind == FailureKind::ConnectionClosed && f.message == kConnectionClosedText);
      // Failed before reading anything: the last reply is still there.
      if (want.lines.empty() && SameLines(lines, want.before) && ftp.LastReplyCode() == want.codeBefore) return;
      FUZZ_CHECK(ftp.LastReplyCode() == 0);
      break;
    case Step::LineTooLong:
      FUZZ_CHECK(f.kind == FailureKind::General && f.message == "Reply line too long.");
      FUZZ_CHECK(!ftp.IsConnected());
      FUZZ_CHECK(ftp.LastReplyCode() == 0);
      break;
    case Step::ReplyTooLong:
      FUZZ_CHECK(f.kind == FailureKind::General && f.message == "Reply too long.");
      FUZZ_CHECK(!ftp.IsConnected());
      FUZZ_CHECK(ftp.LastReplyCode() == 0);
      break;
    case Step::EndOrTooLong:
      break;
  }
  FUZZ_CHECK(SameLines(lines, want.lines));
  if (want.kind == Step::Ok || want.kind == Step::ReplyError) FUZZ_CHECK(ftp.LastReplyCode() == want.code);
}

// Reads run ahead of what the step used by at most a chunk per command so
// far and one more, and on a failure by the line that was never whole.
void CheckReadAhead(const LogCheck& log, const Step& step, size_t commands, const Limits& limits) {
  size_t bound = step.used + (commands + 1) * kChunk;
  if (step.kind != Step::Ok && step.kind != Step::ReplyError) bound += limits.line + 1;
  FUZZ_CHECK(log.read <= bound);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Bytes in(data, size);
  const uint8_t choice = in.U8();
  Plan plan{(choice & 1) != 0, (choice & 2) != 0,          (choice & 4) != 0,
            (choice & 16) != 0, choice & 8 ? 1000 : 0, kLimits[(choice >> 5) & 3]};
  const uint8_t shape = in.U8();
  const std::string text = Stretch(in.Rest(), shape >> 4, plan.limits);

  const Dialogue want = Expected(text, plan);
  // A late hang-up only where no step waits for the end of the stream:
  // there the client would wait for it without limit.
  plan.lateHangUp = plan.lateHangUp && !want.needsEnd;

  Server server(text, PieceSize(shape & 15, text.size()), plan.lateHangUp);
  LogCheck check(text, server);
  ProtocolLog log;
  log.Target = ltNone;
  log.LogTime = false;
  log.Active = true;
  log.OnLogItem = [&check](const std::string& line) { check.Take(line); };

  FtpClient ftp;
  ftp.MaxLineLength = plan.limits.line;
  ftp.MaxReplySize = plan.limits.reply;
  ftp.User = "admin";
  ftp.Password = "secret";
  ftp.ProtocolLog = &log;

  Failure f = ftp.Attach(server.Take(), plan.autoLogin);
  CheckReply(ftp, f, want.attach);
  CheckReadAhead(check, want.attach, check.sent.size(), plan.limits);
  if (f) {
    FUZZ_CHECK(!ftp.IsConnected());
    FUZZ_CHECK(check.last == "Disconnected.");
  } else {
    if (plan.site) {
      f = ftp.Site("STABLE");
      CheckReply(ftp, f, want.site);
      CheckReadAhead(check, want.site, check.sent.size(), plan.limits);
    }
    if (plan.readLine) {
      // The server is done talking: whatever ReadLine waits for comes.
      server.HangUpWhenDone();
      std::string line;
      f = ftp.ReadLine(plan.readLineMs, &line);
      FUZZ_CHECK(line.find('\n') == std::string::npos);
      switch (want.readLine.kind) {
        case Step::Ok:
          FUZZ_CHECK(!f && line == want.readLine.raw);
          break;
        case Step::Closed:
          FUZZ_CHECK(f.kind == FailureKind::ConnectionClosed && line.empty());
          break;
        case Step::EndOrTooLong:
          FUZZ_CHECK((f.kind == FailureKind::ConnectionClosed || f.message == "Reply line too long.") && line.empty());
          break;
        default:
          FUZZ_CHECK(f.kind == FailureKind::General && f.message == "Reply line too long." && line.empty());
          break;
      }
      CheckReadAhead(check, want.readLine, check.sent.size(), plan.limits);
    }
  }

  // The commands that went out: the dialogue's first ones, each whole, and
  // each logged as sent (the password hidden).
  const std::string& sent = server.Received();
  std::string expected;
  size_t n = 0;
  while (n < want.commands.size() && expected.size() < sent.size()) expected += want.commands[n++] + "\r\n";
  FUZZ_CHECK(sent == expected);
  FUZZ_CHECK(check.sent.size() == n);
  for (size_t i = 0; i < n; ++i)
    FUZZ_CHECK(check.sent[i] == (want.commands[i] == "pass secret" ? "pass ****" : want.commands[i]) + "<EOL>");
  ftp.Disconnect();
  return 0;
}
