#pragma once
// What the FTP upgrade does differently by device kind, in one place.
#include <cstdint>

namespace quillbox::kinds {

// Firmware of these kinds has no FTP upgrade: the session refuses before it
// connects.
inline constexpr int32_t NO_FTP_UPGRADE[] = {16, 18};
// These restart into the new firmware by "SITE Reboot" instead of
// "SITE Upgrade".
inline constexpr int32_t UPGRADE_BY_REBOOT[] = {17, 19};
// Kinds 0 up to this one mark the new firmware "stable" once they are back.
inline constexpr uint32_t LAST_KIND_MARKED_STABLE = 4;

template <size_t N>
constexpr bool IsOneOf(int32_t kind, const int32_t (&list)[N]) {
  for (int32_t k : list)
    if (k == kind) return true;
  return false;
}

constexpr bool RefusesFtpUpgrade(int32_t kind) { return IsOneOf(kind, NO_FTP_UPGRADE); }
constexpr bool UpgradesByReboot(int32_t kind) { return IsOneOf(kind, UPGRADE_BY_REBOOT); }
// A negative kind, read as unsigned, is far beyond the range.
constexpr bool MarksFirmwareStable(int32_t kind) {
  return static_cast<uint32_t>(kind) <= LAST_KIND_MARKED_STABLE;
}

}  // namespace quillbox::kinds
