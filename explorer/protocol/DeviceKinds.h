#pragma once
// What a device's 16-bit kind code decides: whether it is listed at all,
// how it is configured, and which actions the window offers for it. Every
// rule about kind codes lives here.
#include <cstdint>

// Kind codes the rules single out.
constexpr uint16_t KIND_NO_UPGRADE_A = 0x10;  // 16
constexpr uint16_t KIND_NO_UPGRADE_B = 0x12;  // 18
constexpr uint16_t KIND_TELNET_A = 0x30;      // 48
constexpr uint16_t KIND_TELNET_B = 0x31;      // 49

// Only these eleven kinds are listed; any other discovery answer is ignored.
constexpr bool IsAcceptedKind(uint16_t kind) {
  return kind <= 4 || (kind >= 0x10 && kind <= 0x13) || kind == KIND_TELNET_A || kind == KIND_TELNET_B;
}

// Configured over telnet (probed on port 23) instead of by web browser.
constexpr bool IsTelnetOnlyKind(uint16_t kind) { return kind == KIND_TELNET_A || kind == KIND_TELNET_B; }

// Takes a firmware image through the upgrade library.
constexpr bool HasFirmwareUpgrade(uint16_t kind) {
  return kind != KIND_NO_UPGRADE_A && kind != KIND_NO_UPGRADE_B && !IsTelnetOnlyKind(kind);
}

// Takes a configuration file retrieve and upload over HTTP.
constexpr bool HasConfigurationTransfer(uint16_t kind) { return !IsTelnetOnlyKind(kind); }
