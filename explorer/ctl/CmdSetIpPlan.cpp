// set-ip --plan FILE.csv [--dry-run]: check the whole plan, then apply it.
#include <array>
#include <vector>

#include "explorer/ctl/Console.h"
#include "explorer/ctl/Csv.h"
#include "explorer/ctl/DeviceScan.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/ctl/SetIpPlan.h"
#include "explorer/ctl/TextTable.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/session/Commissioning.h"
#include "net/Interfaces.h"

namespace ctl {
namespace {

int ReadPlan(const std::string& file, PlanParse& plan) {
  std::string text, error;
  switch (ReadCsvFile(file, text, error)) {
    case CsvRead::Ok: break;
    case CsvRead::Interrupted: return EXIT_INTERRUPTED;
    case CsvRead::Failed:
      Console::Get().Err("explorerctl: " + error);
      return EXIT_USAGE;
  }
  std::vector<std::vector<std::string>> records;
  if (!ParseCsv(text, records, error)) {
    Console::Get().Err("explorerctl: " + file + ": " + error);
    return EXIT_USAGE;
  }
  plan = ParsePlan(records);
  for (const std::string& e : plan.errors) Console::Get().Err("explorerctl: " + file + ": " + e);
  return plan.errors.empty() ? EXIT_OK : EXIT_USAGE;
}

// Each row with the subnet it was heard through: its target's, or the
// adapter's its answer came in on.
std::vector<HeardDevice> Heard(const std::vector<DeviceRow>& rows) {
  std::vector<net::Interface> interfaces;
  net::ListIpv4Interfaces(&interfaces);
  std::vector<HeardDevice> heard;
  for (const DeviceRow& row : rows) {
    HeardDevice d;
    d.record = row.record;
    d.via = row.via.text.empty() ? "-" : row.via.text;
    d.network = row.via.network;
    d.mask = row.via.mask;
    if (!row.via.throughTarget) {
      for (const net::Interface& i : interfaces)
        if (i.name == row.link && !i.loopback) {
          d.network = i.address & i.mask;
          d.mask = i.mask;
        }
    }
    heard.push_back(d);
  }
  return heard;
}

RowOutcome Apply(const PlanRow& row, const DeviceRow& device, const std::string& password) {
  DeviceTarget target;
  target.record = device.record;
  target.duplicateIp = device.duplicateIp;
  target.link = device.link;
  target.via = device.via;
  const int32_t result = SendNetworkParameters(target, row.ip, row.mask, password);
  RowOutcome outcome;
  if (result != 0) {
    outcome.state = Interrupted() ? RowState::Skipped : RowState::Refused;
    outcome.detail = Interrupted() ? "interrupted" : ErrorText(result);
    return outcome;
  }
  outcome.state = AnswersAt(row.ip, device.record) ? RowState::Confirmed : RowState::Applied;
  if (outcome.state == RowState::Applied) outcome.detail = "no answer at " + FormatIp(row.ip);
  return outcome;
}

std::string Table(const std::vector<PlanRow>& rows, const std::vector<DeviceRow>& devices,
                  const PlanCheck& check, const std::vector<RowOutcome>& outcomes) {
  using Line = std::array<std::string, 5>;
  std::vector<Line> lines{{"MAC", "OLD IP", "NEW IP", "MASK", "RESULT"}};
  for (size_t i = 0; i < rows.size(); ++i) {
    const size_t d = check.deviceOf[i];
    lines.push_back({FormatMac(rows[i].mac.data()), d < devices.size() ? FormatIp(devices[d].record.ip()) : "-",
                     FormatIp(rows[i].ip), FormatIp(rows[i].mask), RowStateText(outcomes[i])});
  }
  return AlignedTable(lines);
}

int ExitOf(const std::vector<RowOutcome>& outcomes, bool passwordRefused) {
  if (Interrupted()) return EXIT_INTERRUPTED;
  if (passwordRefused) return EXIT_WRONG_PASSWORD;
  for (const RowOutcome& o : outcomes)
    if (o.state != RowState::Confirmed) return EXIT_FAILED;
  return EXIT_OK;
}

}  // namespace

int RunSetIpPlan(const std::string& file, bool dryRun, const DeviceOptions& o, const std::string& password) {
  PlanParse plan;
  if (int rc = ReadPlan(file, plan)) return rc;
  ScanRequest request;
  request.passes = o.passes;
  if (int rc = BuildScope(o.reach, request.scope)) return rc;
  ScanResult scan = ScanDevices(request);
  if (scan.exitCode == EXIT_INTERRUPTED) return EXIT_INTERRUPTED;

  const PlanCheck check = CheckPlan(plan.rows, Heard(scan.rows));
  for (const std::string& w : check.warnings) Console::Get().Err("explorerctl: warning: " + file + ": " + w);
  for (const std::string& e : check.errors) Console::Get().Err("explorerctl: " + file + ": " + e);
  if (!check.Ok()) {
    Console::Get().Err("explorerctl: nothing was changed: the plan has " + std::to_string(check.errors.size()) +
                       (check.errors.size() == 1 ? " problem" : " problems"));
    return EXIT_FAILED;
  }
  std::vector<RowOutcome> outcomes(plan.rows.size());
  if (dryRun) {
    Console::Get().Out(Table(plan.rows, scan.rows, check, outcomes));
    return EXIT_OK;
  }
  bool passwordRefused = false;
  for (size_t i = 0; i < plan.rows.size(); ++i) {
    if (Interrupted() || passwordRefused) {
      outcomes[i] = {RowState::Skipped, passwordRefused ? "the password was refused" : "interrupted"};
      continue;
    }
    outcomes[i] = Apply(plan.rows[i], scan.rows[check.deviceOf[i]], password);
    // Every device of a plan shares the one password: the next would only
    // refuse it too, four seconds each.
    passwordRefused = outcomes[i].state == RowState::Refused && outcomes[i].detail == ErrorText(ERR_INVALID_PASSWORD);
  }
  Console::Get().Out(Table(plan.rows, scan.rows, check, outcomes));
  return ExitOf(outcomes, passwordRefused);
}

}  // namespace ctl
