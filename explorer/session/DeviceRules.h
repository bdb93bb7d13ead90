#pragma once
// Which actions a device allows, and why not when it does not: the one table
// the window's buttons and explorerctl's commands both read.
#include <string>

#include "explorer/protocol/DeviceMessages.h"

enum class DeviceAction {
  WebConfiguration,
  GetConfiguration,
  SetConfiguration,
  UpgradeFirmware,
  SetIpAddress,
  TestConnection,
};

enum class Refusal {
  None,
  NoAddress,                // 0.0.0.0: nothing reaches it until it is given an address
  NoConfigurationTransfer,  // a telnet device keeps its configuration to itself
  NoFirmwareUpgrade,        // its firmware takes none; the upgrade library would say so too
  NoFtpServer,              // a telnet device: there is no server to send an image to
};

Refusal RefusalOf(const DeviceRecord& device, DeviceAction action);
inline bool Allows(const DeviceRecord& device, DeviceAction action) {
  return RefusalOf(device, action) == Refusal::None;
}
// The reason in a few words ("no IP address", "kind 48 has no firmware
// upgrade"); "" for Refusal::None.
std::string RefusalReason(const DeviceRecord& device, Refusal refusal);
// Its configuration is a telnet session, not a web page.
bool ConfiguresOverTelnet(const DeviceRecord& device);
// The kind as the device list's kind column reads it: the number and what
// the kind is, "1 (web)", "16 (no upgrade)", "48 (telnet)".
std::string KindText(uint16_t kind);
