// The devices' FTP side on port 21 (every kind without a console): login, the image upload as
// "release.pak" over an active data connection, and the site commands that
// restart the device ("Upgrade", "Reboot") or mark its firmware stable.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>

#include "tools/devicesim/HttpDeviceState.h"
#include "tools/devicesim/HttpSocket.h"
#include "tools/devicesim/Outage.h"
#include "tools/devicesim/Services.h"

namespace {

constexpr int kIdleMs = 30000;
constexpr int kDataConnectMs = 5000;

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// Connects from the device's own address to the client's PORT address;
// a closed socket when that fails.
net::Socket ConnectData(uint32_t fromIp, uint32_t toIp, uint16_t toPort, const std::atomic<bool>& stop) {
  net::Socket s;
  if (s.OpenTcp() != 0) return s;
  // Without the device's address the routing picks one: the client may
  // still take the connection.
  s.Bind({fromIp, 0});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDataConnectMs);
  if (s.Connect({toIp, toPort}, deadline, 100, [&stop] { return !stop.load(); }) != 0) s.Close();
  return s;
}

// Receives the data connection's bytes until the client closes it: their
// count, or -1 after a failure, stop or kIdleMs of silence.
long ReceiveAll(net::Socket& s, const std::atomic<bool>& stop) {
  long total = 0;
  for (;;) {
    char chunk[64 * 1024];
    const long n = ReceiveSome(s, stop, chunk, sizeof chunk, kIdleMs);
    if (n <= 0) return n == 0 ? total : -1;
    total += n;
  }
}

// A device that hangs: it takes whatever comes and answers nothing until
// the client gives up, the simulator stops or kIdleMs pass without a line.
void HoldSilent(SimConnection& c, std::string& buffer) {
  std::string line;
  while (ReadLine(c, buffer, line, kIdleMs)) {
  }
}

void HandleFtp(SimConnection& c, ServiceContext& ctx) {
  std::optional<Device> device = ctx.devices.FindByIp(c.localIp);
  if (!device || SimDeviceState::Get().Restarting(*device)) {
    c.fd.Abort();
    return;
  }
  SimDeviceState& state = SimDeviceState::Get();
  const long restartMs = DeviceOptionNumber(*device, "restart-ms", ctx.SettingNumber("restart-ms", 2000));
  const std::string silentAt = DeviceOption(*device, "ftp-silent");

  if (!SendAll(c, "220 Device FTP server ready.\r\n")) return;
  std::string buffer, line, user;
  if (silentAt == "greeting") return HoldSilent(c, buffer);
  bool loggedIn = false;
  uint32_t dataIp = 0;
  uint16_t dataPort = 0;
  while (ReadLine(c, buffer, line, kIdleMs)) {
    std::string verb = Upper(line.substr(0, line.find(' ')));
    std::string arg = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
    state.Log(*device, "ftp-log", verb == "PASS" ? "PASS ****" : verb + (arg.empty() ? "" : " " + arg));
    std::string reply;
    if (verb == "USER") {
      user = arg;
      loggedIn = false;
      reply = "331 Password required for " + arg + ".";
    } else if (verb == "PASS") {
      std::string expectedUser = DeviceOption(*device, "user", "root");
      loggedIn = Upper(user) == Upper(expectedUser) && arg == device->password;
      reply = loggedIn ? "230 User logged in." : "530 Login incorrect.";
    } else if (verb == "QUIT") {
      SendAll(c, "221 Goodbye.\r\n");
      return;
    } else if (verb == "NOOP") {
      reply = "200 NOOP command successful.";
    } else if (!loggedIn) {
      reply = "530 Please login with USER and PASS.";
    } else if (verb == "SYST") {
      reply = "215 UNIX Type: L8";
    } else if (verb == "TYPE") {
      reply = "200 Type set to " + Upper(arg) + ".";
    } else if (verb == "PWD") {
      reply = "257 \"/\" is current directory.";
    } else if (verb == "PORT") {
      unsigned h1, h2, h3, h4, p1, p2;
      if (std::sscanf(arg.c_str(), "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) == 6 &&
          h1 < 256 && h2 < 256 && h3 < 256 && h4 < 256 && p1 < 256 && p2 < 256) {
        dataIp = htonl(h1 << 24 | h2 << 16 | h3 << 8 | h4);
        dataPort = static_cast<uint16_t>(p1 << 8 | p2);
        reply = "200 PORT command successful.";
      } else {
        reply = "501 Illegal PORT command.";
      }
    } else if (verb == "STOR" || verb == "APPE") {
      if (arg != "release.pak") {
        reply = "553 Only release.pak may be stored.";
      } else if (dataPort == 0) {
        reply = "425 Use PORT first.";
      } else {
        if (!SendAll(c, "150 Opening BINARY mode data connection for release.pak.\r\n")) return;
        if (silentAt == "data") return HoldSilent(c, buffer);
        net::Socket data = ConnectData(c.localIp, dataIp, dataPort, *c.stop);
        const long size = data.IsOpen() ? ReceiveAll(data, *c.stop) : -1;
        dataPort = 0;
        if (silentAt == "transfer") return HoldSilent(c, buffer);
        reply = size >= 0 ? "226 Transfer complete (" + std::to_string(size) + " bytes)."
                          : "426 Connection closed; transfer aborted.";
      }
    } else if (verb == "SITE") {
      std::string what = Upper(arg);
      if (what == "UPGRADE" || what == "REBOOT") {
        if (silentAt == "site") return HoldSilent(c, buffer);
        SendAll(c, "200 " + arg + " started, the device restarts.\r\n");
        state.BeginRestart(*device, static_cast<int>(restartMs));
        SleepWatching(*c.stop, 200);
        // The connection ends before the device leaves the network (if its
        // line says it does), as a device hangs up before it restarts.
        c.fd.Close();
        StayOffline(*device, static_cast<int>(restartMs), *c.stop);
        return;
      }
      reply = what == "STABLE" ? "200 Firmware marked stable." : "500 Unknown SITE command.";
    } else {
      reply = "502 Command not implemented.";
    }
    if (!SendAll(c, reply + "\r\n")) return;
  }
}

int RunFtp(ServiceContext& ctx) {
  return ServeTcp(ctx, static_cast<uint16_t>(ctx.SettingNumber("ftp-port", 21)), [](const Device& d) { return !HasConsole(d); },
                  [&ctx](SimConnection& c) { HandleFtp(c, ctx); });
}

ServiceRegistration ftpService("ftp", RunFtp);

}  // namespace
