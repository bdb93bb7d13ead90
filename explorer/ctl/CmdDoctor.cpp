// doctor: one discovery pass, then what it looked at, what it heard and,
// where nothing answered, the likely causes with their remedies.
#include <memory>

#include "explorer/ctl/CommandLine.h"
#include "explorer/ctl/Console.h"
#include "explorer/ctl/DeviceScan.h"
#include "explorer/ctl/ExitCodes.h"

namespace ctl {
namespace {

struct DoctorOptions {
  ReachOptions reach;
  std::string format = "text";
};

int RunDoctor(const DoctorOptions& o) {
  ScanRequest request;
  request.passes = 1;
  request.report = true;
  if (int rc = BuildScope(o.reach, request.scope)) return rc;
  const ScanResult result = ScanDevices(request);
  if (result.exitCode == EXIT_INTERRUPTED || !result.report) return EXIT_INTERRUPTED;
  // The scan's own word first, as scan gives it; the report says why.
  if (result.exitCode == EXIT_FAILED && !result.failureText.empty()) Console::Get().Err(result.failureText);
  Console::Get().Out(o.format == "json" ? DoctorJson(*result.report) : DoctorText(*result.report));
  // As scan's: scripts tell "something answers" from "nobody does".
  return result.exitCode;
}

}  // namespace

CLI::App* AddDoctorCommand(CLI::App& app, CommandResult& result) {
  auto o = std::make_shared<DoctorOptions>();
  CLI::App* doctor = app.add_subcommand(
      "doctor",
      "one discovery pass, then why nothing answered: each adapter and target and what answered through "
      "it, devices outside their adapter's subnet, duplicate addresses, and the likely causes (the host "
      "firewall, reverse-path filtering by rp_filter, a router) with their remedies (exit status 0 when a "
      "device answered, 5 when none did)");
  doctor->add_option("--format", o->format, "text, or json (keys in the README, Troubleshooting)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"text", "json"}).description(""))
      ->capture_default_str();
  AddReachOptions(doctor, o->reach);
  doctor->callback([o, &result] { result.exitCode = RunCommand(nullptr, [&] { return RunDoctor(*o); }); });
  return doctor;
}

}  // namespace ctl
