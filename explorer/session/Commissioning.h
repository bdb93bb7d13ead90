#pragma once
// Commissioning from a plan: a table of Ethernet address, new IP address
// and mask per device. The whole plan is checked against what a scan heard
// before anything is changed, because a plan half applied on a plant floor
// (two devices on one address, one unreachable on the wrong subnet) is
// worse than none.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"

struct PlanRow {
  size_t line = 0;  // record number in the file, the header being row 1
  std::array<uint8_t, 6> mac{};
  uint32_t ip = 0;    // network order
  uint32_t mask = 0;  // network order
};

// The rows of a plan's records (already split as CSV): a header naming the
// columns mac, ip and mask (any order, any case, other columns ignored),
// then one device a record. Every bad record is named.
struct PlanParse {
  std::vector<PlanRow> rows;
  std::vector<std::string> errors;
};
PlanParse ParsePlan(const std::vector<std::vector<std::string>>& records);

// A device the scan heard, and the subnet it was heard through (an
// adapter's, or a target's): 0/0 when that is not known.
struct HeardDevice {
  DeviceRecord record;
  uint32_t network = 0;  // network order
  uint32_t mask = 0;     // network order
  std::string via;
};

// What stops the plan (errors) and what the user should look at (warnings).
// For each plan row, the index of its device among `heard` (with no
// errors, every row has one).
struct PlanCheck {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  std::vector<size_t> deviceOf;
  bool Ok() const { return errors.empty(); }
};
PlanCheck CheckPlan(const std::vector<PlanRow>& rows, const std::vector<HeardDevice>& heard);

// How one row ended.
enum class RowState {
  Pending,     // not reached (the check failed, or --dry-run)
  Confirmed,   // applied, and the device answered at its new address
  Applied,     // the device took it but did not answer at the new address
  Refused,     // the device refused it (detail: its text)
  Skipped,     // not sent: an earlier refusal of the password, or an interrupt
};
struct RowOutcome {
  RowState state = RowState::Pending;
  std::string detail;
};
std::string RowStateText(const RowOutcome& outcome);
