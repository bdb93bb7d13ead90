// The devices' web server on port 80 (every kind without a console): the two
// configuration CGI paths behind Basic authentication with the administrator
// user and password.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "tools/devicesim/HttpDeviceState.h"
#include "tools/devicesim/HttpDigest.h"
#include "tools/devicesim/HttpSocket.h"
#include "tools/devicesim/Services.h"

namespace {

constexpr int kIdleMs = 10000;
constexpr size_t kMaxBody = 256u * 1024 * 1024;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
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

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

bool Respond(SimConnection& c, int status, const std::string& body,
             const std::string& extraHeaders = "") {
  std::string head = "HTTP/1.0 " + std::to_string(status) + " " + Reason(status) +
                     "\r\nServer: devicesim\r\nContent-Type: text/plain\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n" + extraHeaders +
                     "Connection: close\r\n\r\n";
  return SendAll(c, head) && SendAll(c, body);
}

// A configuration is text of name=value lines (comments with '#' or ';').
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

void SendBody(SimConnection& c, const Device& d, const std::string& body) {
  long slowMs = DeviceOptionNumber(d, "http-slow", 0);
  long drop = DeviceOptionNumber(d, "http-drop", -1);
  std::string head = "HTTP/1.0 200 OK\r\nServer: devicesim\r\nContent-Type: text/plain\r\n"
                     "Content-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n";
  if (!SendAll(c, head)) return;
  size_t limit = drop >= 0 ? std::min(body.size(), static_cast<size_t>(drop)) : body.size();
  size_t piece = slowMs > 0 ? 1024 : 256 * 1024;
  for (size_t at = 0; at < limit; at += piece) {
    if (!SendAll(c, body.data() + at, std::min(piece, limit - at))) return;
    if (slowMs > 0 && !SleepWatching(*c.stop, static_cast<int>(slowMs))) return;
  }
  if (limit < body.size()) c.fd.Abort();
}

struct Request {
  std::string method;
  std::string target;  // as the request line has it
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

// "GET /path?query HTTP/1.0"; false (and 400 sent) when it is not one.
bool ReadRequestLine(SimConnection& c, std::string& buffer, Request& r) {
  std::string line;
  if (!ReadLine(c, buffer, line, kIdleMs)) return false;
  const size_t a = line.find(' ');
  const size_t b = line.find(' ', a == std::string::npos ? a : a + 1);
  if (a == std::string::npos || b == std::string::npos) {
    Respond(c, 400, "Malformed request line");
    return false;
  }
  r.method = line.substr(0, a);
  r.target = line.substr(a + 1, b - a - 1);
  const size_t question = r.target.find('?');
  r.path = r.target.substr(0, question);
  r.query = question == std::string::npos ? "" : r.target.substr(question + 1);
  return true;
}

void ReadHeaders(SimConnection& c, std::string& buffer, Request& r) {
  std::string line;
  while (ReadLine(c, buffer, line, kIdleMs) && !line.empty()) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    r.headers[Lower(line.substr(0, colon))] = value;
  }
}

// The whole body is read before any answer, so the peer never meets a
// reset while it is still sending.
bool ReadBody(SimConnection& c, std::string& buffer, Request& r) {
  const size_t length = std::strtoul(r.Header("content-length").c_str(), nullptr, 10);
  if (length > kMaxBody) {
    Respond(c, 400, "Request body too large");
    return false;
  }
  r.body = buffer.substr(0, std::min(buffer.size(), length));
  while (r.body.size() < length) {
    char chunk[64 * 1024];
    const long n =
        ReceiveSome(c.fd, *c.stop, chunk, std::min(sizeof chunk, length - r.body.size()), kIdleMs);
    if (n <= 0) return false;
    r.body.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

bool ReadRequest(SimConnection& c, Request& r) {
  std::string buffer;
  if (!ReadRequestLine(c, buffer, r)) return false;
  ReadHeaders(c, buffer, r);
  return ReadBody(c, buffer, r);
}

// Basic, or Digest when the device asks for it; false (and the challenge
// sent) when the request does not carry the device's credentials.
bool Authorise(SimConnection& c, const Device& d, const Request& r) {
  const std::string user = DeviceOption(d, "user", "root");
  const std::string auth = r.Header("authorization");
  const bool digest = DeviceOption(d, "auth") == "digest";
  // One fixed nonce per device is enough for a simulator.
  const std::string realm = "device", nonce = Md5Hex("nonce:" + user + ":" + net::FormatIpv4(c.localIp));
  const bool authorised = digest ? DigestValid(auth, r.method, user, d.password, realm, nonce)
                                 : Lower(auth.substr(0, 6)) == "basic " &&
                                       Base64Decode(auth.substr(6)) == user + ":" + d.password;
  if (!authorised)
    Respond(c, 401, "Authorization required",
            "WWW-Authenticate: " +
                (digest ? DigestChallenge(realm, nonce) : std::string("Basic realm=\"device\"")) + "\r\n");
  return authorised;
}

void ServeRetrieve(SimConnection& c, const Device& d, const Request& r) {
  if (r.method != "GET") {
    Respond(c, 405, "GET only");
    return;
  }
  const std::optional<std::string> config = SimDeviceState::Get().Config(d);
  if (!config) {
    Respond(c, 404, "Configuration file not found");
    return;
  }
  SendBody(c, d, *config);
}

void ServeUpload(SimConnection& c, const Device& d, Request& r) {
  if (r.method != "POST") {
    Respond(c, 405, "POST only");
    return;
  }
  const std::string problem = CheckConfiguration(r.body);
  if (!problem.empty()) {
    Respond(c, 400, problem);
    return;
  }
  SimDeviceState::Get().StoreConfig(d, std::move(r.body));
  Respond(c, 200, "Configuration stored");
}

void HandleHttp(SimConnection& c, DeviceTable& table) {
  Request r;
  if (!ReadRequest(c, r)) return;
  const std::optional<Device> device = table.FindByIp(c.localIp);
  if (!device) {
    Respond(c, 404, "No such device");
    return;
  }
  SimDeviceState::Get().Log(*device, "http-log",
                            r.method + " " + r.target + " " + std::to_string(r.body.size()));
  if (SimDeviceState::Get().Restarting(*device)) {
    c.fd.Abort();
    return;
  }
  const bool retrieve = r.path == "/CGI/mReturnFileCGI";
  if (!retrieve && r.path != "/CGI/mUploadCGI") {
    Respond(c, 404, "Not found");
    return;
  }
  if (!Authorise(c, *device, r)) return;
  if (const long forced = DeviceOptionNumber(*device, "http-status", 0); forced > 0) {
    Respond(c, static_cast<int>(forced), "Forced status");
    return;
  }
  if (r.query != "file=ConfigFile.txt") {
    Respond(c, 404, "Unknown file");
    return;
  }
  if (retrieve)
    ServeRetrieve(c, *device, r);
  else
    ServeUpload(c, *device, r);
}

int RunHttp(ServiceContext& ctx) {
  DeviceTable& table = ctx.devices;
  return ServeTcp(ctx, static_cast<uint16_t>(ctx.SettingNumber("http-port", 80)), [](const Device& d) { return !HasConsole(d); },
                  [&table](SimConnection& c) { HandleHttp(c, table); });
}

ServiceRegistration httpService("http", RunHttp);

}  // namespace
