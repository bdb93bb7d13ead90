// What an FTP server sends on the control connection, through a local
// stream pair: the greeting, the login dialogue, a SITE reply and raw lines,
// with multi-line replies, blank lines, odd codes and lines far longer than
// any buffer. Invariants beyond no crash:
//   - a step that succeeds ended on a code it accepts;
//   - reply lines are non-empty and trimmed, bounded by the line limit, and
//     a reply by the reply limit; a multi-line reply ends as the rules say;
//   - a reply error carries the reply's code and last line;
//   - a raw line never holds its line end, and no protocol log line holds
//     a CR LF;
//   - a failed Connect leaves the connection closed.
// Input: one byte of choices (login or greeting only, SITE and/or ReadLine
// afterwards, the ReadLine time), one of how far to stretch the rest, then
// the server's bytes.
#include <strings.h>

#include <string>

#include "FtpClient.h"
#include "FuzzSupport.h"

using namespace quillbox;

namespace {

// How much the server's bytes are repeated to: past the line limit and past
// the reply limit now and then, without every input paying for it.
size_t Stretch(uint8_t choice) {
  switch (choice % 64) {
    case 56: case 57: case 58: case 59: return 4096;
    case 60: case 61: return 70000;
    case 62: return 140000;
    case 63: return 1100000;
    default: return 0;
  }
}

bool Trimmed(const std::string& line) {
  auto trimmed = [](unsigned char c) { return c <= ' ' || c == 127; };
  return !line.empty() && !trimmed(line.front()) && !trimmed(line.back());
}

void CheckReply(const FtpClient& ftp, const Failure& f, std::initializer_list<int> accepted) {
  const std::vector<std::string>& lines = ftp.LastReply();
  size_t bytes = 0;
  for (const std::string& line : lines) {
    FUZZ_CHECK(Trimmed(line));
    FUZZ_CHECK(line.size() <= FtpClient::kMaxLineLength);
    bytes += line.size();
  }
  FUZZ_CHECK(bytes <= FtpClient::kMaxReplySize);
  FUZZ_CHECK(ftp.LastReplyCode() >= 0 && ftp.LastReplyCode() <= 999);
  if (f.kind == FailureKind::Reply) {
    FUZZ_CHECK(f.code == ftp.LastReplyCode());
    FUZZ_CHECK(f.message == ftp.LastReplyLine());
  }
  if (f) return;
  FUZZ_CHECK(!lines.empty());
  bool ok = false;
  for (int code : accepted) ok = ok || code == ftp.LastReplyCode();
  FUZZ_CHECK(ok);
  // A multi-line reply runs from "ddd-" to the first line that ends it.
  const std::string& first = lines.front();
  if (lines.size() > 1) {
    FUZZ_CHECK(first.size() > 3 && first[3] == '-');
    auto ends = [&first](const std::string& line) {
      return line.size() < 4 || (strncasecmp(line.c_str(), first.c_str(), 3) == 0 && line[3] == ' ');
    };
    for (size_t i = 1; i + 1 < lines.size(); ++i) FUZZ_CHECK(!ends(lines[i]));
    FUZZ_CHECK(ends(lines.back()));
  } else {
    FUZZ_CHECK(first.size() <= 3 || first[3] != '-');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Bytes in(data, size);
  const uint8_t choice = in.U8();
  const bool autoLogin = choice & 1;
  const bool site = choice & 2;
  const bool readLine = choice & 4;
  const size_t stretch = Stretch(in.U8());
  std::string script = in.Rest();
  if (!script.empty() && script.size() < stretch) {
    std::string longer;
    longer.reserve(stretch + script.size());
    while (longer.size() < stretch) longer += script;
    script.swap(longer);
  }

  ProtocolLog log;
  log.Target = ltNone;
  log.LogTime = false;
  log.Active = true;
  log.OnLogItem = [](const std::string& line) { FUZZ_CHECK(line.find("\r\n") == std::string::npos); };

  FtpClient ftp;
  // The server ends its stream after its bytes: the client answers the
  // rest of its dialogue from what is buffered and then meets the end,
  // never a wait. Every way out below closes the client's end before the
  // peer goes.
  fuzz::ScriptedPeer peer(script, fuzz::ScriptedPeer::AfterScript::EndStream);
  ftp.User = "admin";
  ftp.Password = "secret";
  ftp.ProtocolLog = &log;

  Failure f = ftp.Attach(peer.Take(), autoLogin);
  // The accepted codes count only when the last step succeeded.
  if (autoLogin)
    CheckReply(ftp, f, {200, 215, 500});
  else
    CheckReply(ftp, f, {220});
  if (f) {
    FUZZ_CHECK(!ftp.IsConnected());
    return 0;
  }
  if (site) {
    f = ftp.Site("STABLE");
    CheckReply(ftp, f, {200});
  }
  if (readLine) {
    std::string line;
    f = ftp.ReadLine(choice & 8 ? 2 : 0, &line);
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    FUZZ_CHECK(line.size() <= FtpClient::kMaxLineLength);
    if (f) FUZZ_CHECK(line.empty());
  }
  ftp.Disconnect();
  return 0;
}
