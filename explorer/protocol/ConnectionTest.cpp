#include "explorer/protocol/ConnectionTest.h"

uint16_t ConfigurationPort(uint16_t kind) { return IsTelnetOnlyKind(kind) ? TELNET_CONFIG_PORT : WEB_CONFIG_PORT; }

std::string ConnectionTestStatusText(const DeviceRecord& record) {
  return "Testing connection to " + FormatMac(record.mac());
}

bool CheckReachable(const DeviceRecord& record, bool duplicateIp,
                    const std::function<bool(uint32_t, uint16_t)>& probe) {
  const uint16_t port = ConfigurationPort(record.kind());
  if (duplicateIp) return false;
  // Connecting to 0.0.0.0 would reach this computer itself, not the device.
  if (record.ip() == 0) return false;
  return probe(record.ip(), port);
}
