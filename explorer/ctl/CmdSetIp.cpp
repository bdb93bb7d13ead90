// set-ip: a device's new address and mask.
#include <memory>
#include <optional>

#include "explorer/ctl/CommandLine.h"

namespace ctl {
namespace {

struct SetIpOptions {
  DeviceOptions device;
  std::string ip;
  std::optional<std::string> mask;
};

int RunSetIp(const SetIpOptions& o) {
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
  CLI::App* setIp = app.add_subcommand("set-ip", "give DEVICE a new IP address (and mask)");
  setIp->add_option("DEVICE", o->device.device, "IPv4 address or Ethernet address")->type_name("")->required();
  // Checked while parsing: a typo costs no 4.4 s of scan and sends nothing.
  setIp->add_option("IP", o->ip, "the new IPv4 address")->type_name("")->required()->check(Ipv4Address());
  setIp->add_option("--mask", o->mask,
                    "the new network mask (default: the current one, or the adapter's when the "
                    "device has none)")
      ->type_name("MASK")
      ->check(NetworkMask());
  AddPassesOption(setIp, o->device.passes, "discovery passes of the scan that finds DEVICE (1-3)");
  AddReachOptions(setIp, o->device.reach);
  AddPasswordOptions(setIp, o->device.password);
  setIp->callback([o, &result] { result.exitCode = RunCommand(nullptr, [&] { return RunSetIp(*o); }); });
  return setIp;
}

}  // namespace ctl
