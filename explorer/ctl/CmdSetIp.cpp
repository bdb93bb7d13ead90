// set-ip: a device's new address and mask, or a whole plan of them.
#include <memory>
#include <optional>

#include "explorer/ctl/CommandLine.h"
#include "explorer/ctl/Console.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/SetIpPlan.h"

namespace ctl {
namespace {

struct SetIpOptions {
  DeviceOptions device;
  std::string ip;
  std::optional<std::string> mask;
  std::string plan;
  bool dryRun = false;
};

int Usage(const std::string& text) {
  Console::Get().Err("explorerctl: " + text);
  Console::Get().Err("Run with --help for more information.");
  return EXIT_USAGE;
}

int RunSetIp(const SetIpOptions& o) {
  if (!o.plan.empty()) {
    if (!o.device.device.empty() || !o.ip.empty() || o.mask)
      return Usage("--plan names every device, address and mask itself: give no DEVICE, IP or --mask");
    std::string password;
    if (int rc = Password(o.device.password, password)) return rc;
    return RunSetIpPlan(o.plan, o.dryRun, o.device, password);
  }
  if (o.dryRun) return Usage("--dry-run checks a --plan");
  if (o.device.device.empty() || o.ip.empty()) return Usage("give DEVICE and IP, or --plan FILE.csv");
  std::string password;
  if (int rc = Password(o.device.password, password)) return rc;
  DeviceTarget target;
  if (int rc = Target(o.device, target)) return rc;
  // Both passed their validators while the command line was parsed.
  const std::optional<uint32_t> mask = o.mask ? ParseIpv4(*o.mask) : std::nullopt;
  return SetIpCommand(target, *ParseIpv4(o.ip), mask, password);
}

}  // namespace

CLI::App* AddSetIpCommand(CLI::App& app, CommandResult& result) {
  auto o = std::make_shared<SetIpOptions>();
  CLI::App* setIp = app.add_subcommand("set-ip", "give DEVICE a new IP address (and mask), or commission a plan");
  setIp->add_option("DEVICE", o->device.device, "IPv4 address or Ethernet address")->type_name("");
  // Checked while parsing: a typo costs no 4.4 s of scan and sends nothing.
  setIp->add_option("IP", o->ip, "the new IPv4 address")->type_name("")->check(Ipv4Address());
  setIp->add_option("--mask", o->mask,
                    "the new network mask (default: the current one, or the adapter's when the "
                    "device has none)")
      ->type_name("MASK")
      ->check(NetworkMask());
  setIp->add_option("--plan", o->plan,
                    "a CSV plan (RFC 4180, header mac,ip,mask): check all of it against a scan, then apply "
                    "and confirm it row by row")
      ->type_name("FILE.csv");
  setIp->add_flag("--dry-run", o->dryRun, "with --plan: check the plan, change nothing");
  AddPassesOption(setIp, o->device.passes, "discovery passes of the scan that finds DEVICE (1-3)");
  AddReachOptions(setIp, o->device.reach);
  AddPasswordOptions(setIp, o->device.password);
  setIp->callback([o, &result] { result.exitCode = RunCommand(nullptr, [&] { return RunSetIp(*o); }); });
  return setIp;
}

}  // namespace ctl
