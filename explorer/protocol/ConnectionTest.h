#pragma once
// Plain rules of the connection test: which port a device is probed on and
// when no probe is made at all.
#include <cstdint>
#include <functional>
#include <string>

#include "explorer/protocol/DeviceKinds.h"
#include "explorer/protocol/DeviceMessages.h"

constexpr int CONNECTION_TEST_BUSY_MS = 2000;
constexpr const char* CONNECTION_TEST_CAPTION = "Connection Test";
constexpr const char* CONNECTION_OK_TEXT = "Network connection is OK";
constexpr const char* CONNECTION_FAILED_TEXT = "Network connection test failed";

constexpr uint16_t TELNET_CONFIG_PORT = 23;
constexpr uint16_t WEB_CONFIG_PORT = 80;

// Telnet for the telnet-only kinds, HTTP for every other kind.
uint16_t ConfigurationPort(uint16_t kind);

// "Testing connection to " + the Ethernet address.
std::string ConnectionTestStatusText(const DeviceRecord& record);

// A device without an address or sharing it with another listed device
// fails at once; otherwise `probe(ipNetOrder, port)` decides.
bool CheckReachable(const DeviceRecord& record, bool duplicateIp,
                    const std::function<bool(uint32_t, uint16_t)>& probe);
