// What a client sends the simulated web server, through a local stream
// pair: the request line, header lines, the body by its Content-Length,
// the credentials (Basic and Digest) and an uploaded configuration.
// Invariants beyond no crash:
//   - a request read whole has a method and target without blanks, the
//     path and query split at the first '?', lower-case header names and
//     exactly the body its Content-Length announced (within the limit);
//   - a refusal is one of the two 400 texts;
//   - Basic credentials encoded from any bytes decode to them again, and a
//     Digest answer computed for any uri and client nonce is accepted,
//     while the same answer for another password is not.
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "tools/devicesim/HttpDigest.h"
#include "tools/devicesim/HttpRequest.h"

namespace {

// Well below what a local stream pair buffers.
constexpr size_t kMaxScript = 64 * 1024;

std::string Base64Encode(const std::string& in) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t v = uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8 | uint8_t(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i < in.size()) {
    uint32_t v = uint32_t(uint8_t(in[i])) << 16;
    if (i + 1 < in.size()) v |= uint32_t(uint8_t(in[i + 1])) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Quoted parameter values end at the next quote.
std::string Unquoted(std::string s) {
  std::string out;
  for (char c : s)
    if (c != '"') out += c;
  return out;
}

void CheckRequest(const SimHttpRequest& r) {
  FUZZ_CHECK(r.method.find(' ') == std::string::npos);
  FUZZ_CHECK(r.target.find(' ') == std::string::npos);
  const size_t question = r.target.find('?');
  FUZZ_CHECK(r.path == r.target.substr(0, question));
  FUZZ_CHECK(r.query == (question == std::string::npos ? "" : r.target.substr(question + 1)));
  for (const auto& [name, value] : r.headers) {
    for (unsigned char c : name) FUZZ_CHECK(c == std::tolower(c));
    FUZZ_CHECK(name.find(':') == std::string::npos);
    FUZZ_CHECK(value.empty() || (value[0] != ' ' && value[0] != '\t'));
  }
  const size_t announced = std::strtoul(r.Header("content-length").c_str(), nullptr, 10);
  FUZZ_CHECK(r.body.size() == announced && announced <= kMaxHttpBody);
}

void CheckCredentials(const SimHttpRequest& r, const std::string& bytes) {
  const std::string auth = r.Header("authorization");
  if (BasicCredentialsMatch(auth, "root", "secret"))
    FUZZ_CHECK(Base64Decode(auth.substr(6)) == "root:secret");
  DigestValid(auth, r.method, "root", "secret", "device", "n0nce");

  FUZZ_CHECK(Base64Decode(Base64Encode(bytes)) == bytes);
  FUZZ_CHECK(BasicCredentialsMatch("bAsIc " + Base64Encode("root:" + bytes), "root", bytes));

  const std::string uri = Unquoted(r.target.empty() ? bytes : r.target);
  const std::string cnonce = Unquoted(bytes.substr(0, 16));
  const std::string ha1 = Md5Hex("root:device:secret");
  const std::string ha2 = Md5Hex(r.method + ":" + uri);
  const std::string answer = Md5Hex(ha1 + ":n0nce:00000001:" + cnonce + ":auth:" + ha2);
  const std::string header = "Digest username=\"root\", realm=\"device\", nonce=\"n0nce\", uri=\"" + uri +
                             "\", qop=auth, nc=00000001, cnonce=\"" + cnonce + "\", response=\"" + answer + "\"";
  FUZZ_CHECK(DigestValid(header, r.method, "root", "secret", "device", "n0nce"));
  FUZZ_CHECK(!DigestValid(header, r.method, "root", "Secret", "device", "n0nce"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::atomic<bool> stop{false};
  SimHttpRequest r;
  std::string refusal;
  bool whole = false;
  // The whole input fits the pair's buffer and the reader never answers,
  // so it is written before the read on this thread: no peer thread, no
  // waits, many times the executions.
  if (bytes.size() > kMaxScript) return 0;
  {
    net::Socket client;
    SimConnection c;
    FUZZ_CHECK(net::MakeStreamPair(&c.fd, &client, net::Blocking::No) == 0);
    FUZZ_CHECK(client.SendAll(bytes.data(), bytes.size()) == 0);
    FUZZ_CHECK(client.ShutdownSend() == 0);
    c.stop = &stop;
    whole = ReadSimHttpRequest(c, r, 2000, &refusal);
  }
  if (whole) {
    FUZZ_CHECK(refusal.empty());
    CheckRequest(r);
    const std::string problem = CheckConfiguration(r.body);
    FUZZ_CHECK(problem.empty() || problem.rfind("Line ", 0) == 0);
  } else {
    FUZZ_CHECK(refusal.empty() || refusal == "Malformed request line" || refusal == "Request body too large");
  }
  CheckCredentials(r, bytes);
  return 0;
}
