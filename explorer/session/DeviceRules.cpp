#include "explorer/session/DeviceRules.h"

#include "explorer/protocol/DeviceKinds.h"

Refusal RefusalOf(const DeviceRecord& device, DeviceAction action) {
  // A device without an address can still be given one.
  if (action == DeviceAction::SetIpAddress) return Refusal::None;
  if (device.ip() == 0) return Refusal::NoAddress;
  const uint16_t kind = device.kind();
  switch (action) {
    case DeviceAction::GetConfiguration:
    case DeviceAction::SetConfiguration:
      return HasConfigurationTransfer(kind) ? Refusal::None : Refusal::NoConfigurationTransfer;
    case DeviceAction::UpgradeFirmware:
      if (IsTelnetOnlyKind(kind)) return Refusal::NoFtpServer;
      return HasFirmwareUpgrade(kind) ? Refusal::None : Refusal::NoFirmwareUpgrade;
    case DeviceAction::WebConfiguration:
    case DeviceAction::TestConnection:
    case DeviceAction::SetIpAddress:
      break;
  }
  return Refusal::None;
}

std::string RefusalReason(const DeviceRecord& device, Refusal refusal) {
  const std::string kind = "kind " + std::to_string(device.kind());
  switch (refusal) {
    case Refusal::None: return {};
    case Refusal::NoAddress: return "no IP address";
    case Refusal::NoConfigurationTransfer: return kind + " has no configuration transfer";
    case Refusal::NoFirmwareUpgrade:
    case Refusal::NoFtpServer: return kind + " has no firmware upgrade";
  }
  return {};
}

bool ConfiguresOverTelnet(const DeviceRecord& device) { return IsTelnetOnlyKind(device.kind()); }

std::string KindText(uint16_t kind) {
  // Telnet first: a telnet kind has no upgrade either, but the way it is
  // configured is what a technician looks for.
  const char* what = IsTelnetOnlyKind(kind) ? "telnet" : (HasFirmwareUpgrade(kind) ? "web" : "no upgrade");
  return std::to_string(kind) + " (" + what + ")";
}
