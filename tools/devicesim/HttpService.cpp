// The devices' web server on port 80 (every kind without a console): the two
// configuration CGI paths behind Basic authentication with the administrator
// user and password.
#include <algorithm>
#include <cstdio>
#include <string>

#include "tools/devicesim/HttpDeviceState.h"
#include "tools/devicesim/HttpDigest.h"
#include "tools/devicesim/HttpRequest.h"
#include "tools/devicesim/HttpSocket.h"
#include "tools/devicesim/Services.h"

namespace {

constexpr int kIdleMs = 10000;

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

bool ReadRequest(SimConnection& c, SimHttpRequest& r) {
  std::string refusal;
  if (ReadSimHttpRequest(c, r, kIdleMs, &refusal)) return true;
  if (!refusal.empty()) Respond(c, 400, refusal);
  return false;
}

// Basic, or Digest when the device asks for it; false (and the challenge
// sent) when the request does not carry the device's credentials.
bool Authorise(SimConnection& c, const Device& d, const SimHttpRequest& r) {
  const std::string user = DeviceOption(d, "user", "root");
  const std::string auth = r.Header("authorization");
  const bool digest = DeviceOption(d, "auth") == "digest";
  // One fixed nonce per device is enough for a simulator.
  const std::string realm = "device", nonce = Md5Hex("nonce:" + user + ":" + net::FormatIpv4(c.localIp));
  const bool authorised = digest ? DigestValid(auth, r.method, user, d.password, realm, nonce)
                                 : BasicCredentialsMatch(auth, user, d.password);
  if (!authorised)
    Respond(c, 401, "Authorization required",
            "WWW-Authenticate: " +
                (digest ? DigestChallenge(realm, nonce) : std::string("Basic realm=\"device\"")) + "\r\n");
  return authorised;
}

void ServeRetrieve(SimConnection& c, const Device& d, const SimHttpRequest& r) {
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

void ServeUpload(SimConnection& c, const Device& d, SimHttpRequest& r) {
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
  SimHttpRequest r;
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
    Respond(c, static_cast<int>(forced), DeviceOption(*device, "http-body", "Forced status"));
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
