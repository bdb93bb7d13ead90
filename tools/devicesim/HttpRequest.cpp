#include "tools/devicesim/HttpRequest.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// "GET /path?query HTTP/1.0".
bool ReadRequestLine(SimConnection& c, std::string& buffer, SimHttpRequest& r, int idleMs,
                     std::string* refusal) {
  std::string line;
  if (!ReadLine(c, buffer, line, idleMs)) return false;
  const size_t a = line.find(' ');
  const size_t b = line.find(' ', a == std::string::npos ? a : a + 1);
  if (a == std::string::npos || b == std::string::npos) {
    *refusal = "Malformed request line";
    return false;
  }
  r.method = line.substr(0, a);
  r.target = line.substr(a + 1, b - a - 1);
  const size_t question = r.target.find('?');
  r.path = r.target.substr(0, question);
  r.query = question == std::string::npos ? "" : r.target.substr(question + 1);
  return true;
}

void ReadHeaders(SimConnection& c, std::string& buffer, SimHttpRequest& r, int idleMs) {
  std::string line;
  while (ReadLine(c, buffer, line, idleMs) && !line.empty()) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    r.headers[Lower(line.substr(0, colon))] = value;
  }
}

// The whole body is read before any answer, so the peer never meets a
// reset while it is still sending.
bool ReadBody(SimConnection& c, std::string& buffer, SimHttpRequest& r, int idleMs,
              std::string* refusal) {
  const size_t length = std::strtoul(r.Header("content-length").c_str(), nullptr, 10);
  if (length > kMaxHttpBody) {
    *refusal = "Request body too large";
    return false;
  }
  r.body = buffer.substr(0, std::min(buffer.size(), length));
  while (r.body.size() < length) {
    char chunk[64 * 1024];
    const long n =
        ReceiveSome(c.fd, *c.stop, chunk, std::min(sizeof chunk, length - r.body.size()), idleMs);
    if (n <= 0) return false;
    r.body.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool ReadSimHttpRequest(SimConnection& c, SimHttpRequest& r, int idleMs, std::string* refusal) {
  refusal->clear();
  std::string buffer;
  if (!ReadRequestLine(c, buffer, r, idleMs, refusal)) return false;
  ReadHeaders(c, buffer, r, idleMs);
  return ReadBody(c, buffer, r, idleMs, refusal);
}

std::string Base64Decode(const std::string& in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  int bits = 0, acc = 0;
  for (char c : in) {
    int v = value(c);
    if (v < 0) continue;
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

bool BasicCredentialsMatch(const std::string& authorization, const std::string& user,
                           const std::string& password) {
  return Lower(authorization.substr(0, 6)) == "basic " &&
         Base64Decode(authorization.substr(6)) == user + ":" + password;
}

std::string CheckConfiguration(const std::string& body) {
  size_t start = 0;
  int number = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    std::string line = body.substr(start, end - start);
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    bool blank = line.find_first_not_of(" \t") == std::string::npos;
    if (!blank && line[0] != '#' && line[0] != ';' && line.find('=') == std::string::npos)
      return "Line " + std::to_string(number) + ": expected name=value";
    start = end + 1;
  }
  return "";
}
