// scan: every device that answers a discovery, as a table, CSV or JSON.
#include <memory>
#include <string>

#include "explorer/ctl/CommandLine.h"
#include "explorer/ctl/Console.h"
#include "explorer/ctl/DeviceScan.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/ScanOutput.h"

namespace ctl {
namespace {

// Bounds what a flood of answers can make this process hold.
constexpr int kMostListed = 262144;

struct ScanOptions {
  ScanRequest request;
  ReachOptions reach;
  std::string format = "table";
};

ScanFormat FormatNamed(const std::string& name) {
  return name == "csv" ? ScanFormat::Csv : name == "json" ? ScanFormat::Json : ScanFormat::Table;
}

int RunScan(ScanOptions o) {
  if (int rc = BuildScope(o.reach, o.request.scope)) return rc;
  ScanResult result = ScanDevices(o.request);
  if (result.exitCode == EXIT_INTERRUPTED) return result.exitCode;
  if (!result.failureText.empty() && result.rows.empty()) Console::Get().Err(result.failureText);
  // An empty inventory is still valid CSV or JSON for whoever reads it.
  if (!result.rows.empty() || o.format != "table")
    Console::Get().Out(RenderScan(result.rows, FormatNamed(o.format)));
  return result.exitCode;
}

}  // namespace

CLI::App* AddScanCommand(CLI::App& app, CommandResult& result) {
  auto o = std::make_shared<ScanOptions>();
  o->request.passes = 3;
  CLI::App* scan = app.add_subcommand("scan", "list every device that answers a discovery");
  AddPassesOption(scan, o->request.passes, "discovery passes, 4.4 s each (1-3)");
  scan->add_option("--interface", o->request.interfaces, "scan on this interface only (repeatable)")
      ->type_name("NAME")
      ->allow_extra_args(false);
  scan->add_option("--max", o->request.maxDevices,
                   "end a pass once N devices answered (1-" + std::to_string(kMostListed) + ")")
      ->type_name("N")
      ->check(CLI::Range(1, kMostListed).description(""))
      ->capture_default_str();
  scan->add_option("--format", o->format, "table, csv (RFC 4180) or json")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"table", "csv", "json"}).description(""))
      ->capture_default_str();
  AddReachOptions(scan, o->reach);
  scan->callback([o, &result] { result.exitCode = RunCommand(nullptr, [&] { return RunScan(*o); }); });
  return scan;
}

}  // namespace ctl
