// The devices' web server on port 80 (every kind without a console): the two
// configuration CGI paths behind Basic authentication with the administrator
// user and password.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
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

void HandleHttp(SimConnection& c, DeviceTable& table) {
  std::string buffer, line;
  if (!ReadLine(c, buffer, line, kIdleMs)) return;
  std::string method, target;
  {
    size_t a = line.find(' ');
    size_t b = line.find(' ', a == std::string::npos ? a : a + 1);
    if (a == std::string::npos || b == std::string::npos) {
      Respond(c, 400, "Malformed request line");
      return;
    }
    method = line.substr(0, a);
    target = line.substr(a + 1, b - a - 1);
  }
  std::map<std::string, std::string> headers;
  while (ReadLine(c, buffer, line, kIdleMs) && !line.empty()) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    headers[Lower(line.substr(0, colon))] = value;
  }
  size_t length = 0;
  if (headers.count("content-length")) length = std::strtoul(headers["content-length"].c_str(), nullptr, 10);
  if (length > kMaxBody) {
    Respond(c, 400, "Request body too large");
    return;
  }
  // The whole body is read before any answer, so the peer never meets a
  // reset while it is still sending.
  std::string body = buffer.substr(0, std::min(buffer.size(), length));
  while (body.size() < length) {
    if (!WaitReadable(c, kIdleMs)) return;
    char chunk[64 * 1024];
    ssize_t n = ::recv(c.fd.get(), chunk, std::min(sizeof chunk, length - body.size()), 0);
    if (n <= 0) return;
    body.append(chunk, static_cast<size_t>(n));
  }

  std::optional<Device> device = table.FindByIp(c.localIp);
  if (!device) {
    Respond(c, 404, "No such device");
    return;
  }
  SimDeviceState::Get().Log(*device, "http-log", method + " " + target + " " + std::to_string(body.size()));
  if (SimDeviceState::Get().Restarting(*device)) {
    c.fd.Abort();
    return;
  }
  std::string path = target.substr(0, target.find('?'));
  std::string query = target.find('?') == std::string::npos ? "" : target.substr(target.find('?') + 1);
  bool get = path == "/CGI/mReturnFileCGI";
  bool post = path == "/CGI/mUploadCGI";
  if (!get && !post) {
    Respond(c, 404, "Not found");
    return;
  }

  std::string user = DeviceOption(*device, "user", "root");
  std::string auth = headers.count("authorization") ? headers["authorization"] : "";
  bool digest = DeviceOption(*device, "auth") == "digest";
  // One fixed nonce per device is enough for a simulator.
  const std::string realm = "device", nonce = Md5Hex("nonce:" + user + ":" + IpText(c.localIp));
  bool authorised = digest ? DigestValid(auth, method, user, device->password, realm, nonce)
                           : Lower(auth.substr(0, 6)) == "basic " &&
                                 Base64Decode(auth.substr(6)) == user + ":" + device->password;
  if (!authorised) {
    Respond(c, 401, "Authorization required",
            "WWW-Authenticate: " +
                (digest ? DigestChallenge(realm, nonce) : std::string("Basic realm=\"device\"")) + "\r\n");
    return;
  }
  long forced = DeviceOptionNumber(*device, "http-status", 0);
  if (forced > 0) {
    Respond(c, static_cast<int>(forced), "Forced status");
    return;
  }
  if (query != "file=ConfigFile.txt") {
    Respond(c, 404, "Unknown file");
    return;
  }
  if (get) {
    if (method != "GET") {
      Respond(c, 405, "GET only");
      return;
    }
    std::optional<std::string> config = SimDeviceState::Get().Config(*device);
    if (!config) {
      Respond(c, 404, "Configuration file not found");
      return;
    }
    SendBody(c, *device, *config);
    return;
  }
  if (method != "POST") {
    Respond(c, 405, "POST only");
    return;
  }
  std::string problem = CheckConfiguration(body);
  if (!problem.empty()) {
    Respond(c, 400, problem);
    return;
  }
  SimDeviceState::Get().StoreConfig(*device, std::move(body));
  Respond(c, 200, "Configuration stored");
}

int RunHttp(ServiceContext& ctx) {
  DeviceTable& table = ctx.devices;
  return ServeTcp(ctx, static_cast<uint16_t>(ctx.SettingNumber("http-port", 80)), [](const Device& d) { return !HasConsole(d); },
                  [&table](SimConnection& c) { HandleHttp(c, table); });
}

ServiceRegistration httpService("http", RunHttp);

}  // namespace
