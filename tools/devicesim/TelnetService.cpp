// The telnet side on port 23: devices of kinds 48 and 49 greet and echo;
// the addresses of all others refuse the connection.
#include <string>

#include "tools/devicesim/HttpDeviceState.h"
#include "tools/devicesim/HttpSocket.h"
#include "tools/devicesim/Services.h"

namespace {

void HandleTelnet(SimConnection& c, DeviceTable& table) {
  std::optional<Device> device = table.FindByIp(c.localIp);
  if (!device || !HasConsole(*device) ||
      SimDeviceState::Get().Restarting(*device)) {
    c.fd.Abort();
    return;
  }
  if (!SendAll(c, "Device console\r\nlogin: ")) return;
  std::string buffer, line;
  while (ReadLine(c, buffer, line, 60000)) {
    if (line == "exit" || line == "quit") return;
    if (!SendAll(c, line + "\r\n> ")) return;
  }
}

int RunTelnet(ServiceContext& ctx) {
  DeviceTable& table = ctx.devices;
  return ServeTcp(ctx, static_cast<uint16_t>(ctx.SettingNumber("telnet-port", 23)), HasConsole,
                  [&table](SimConnection& c) { HandleTelnet(c, table); });
}

ServiceRegistration telnetService("telnet", RunTelnet);

}  // namespace
