// upgrade: a device's firmware from an image, or a batch's.
#include <memory>

#include "explorer/ctl/CommandLine.h"
#include "explorer/ctl/Console.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/upgrade/UpgradeLibrary.h"

namespace ctl {
namespace {

struct UpgradeOptions {
  DeviceOptions device;
  std::string image;
  bool verbose = false;
  int timeout = 0;
};

int RunUpgrade(UpgradeOptions& o) {
  if (int rc = CheckDeviceChoice(o.device, true, &o.image, "IMAGE")) return rc;
  // The library would find out only after the scan and the login, once
  // per device of a batch.
  if (!ImageCanBeOpened(o.image)) {
    Console::Get().Err(ImageOpenFailureText(o.image));
    return EXIT_USAGE;
  }
  if (o.device.selector.Given())
    return RunBatchOf(o.device, BatchCommand::Upgrade, o.image, &o.device.password, o.timeout, o.verbose);
  std::string password;
  if (int rc = Password(o.device.password, password)) return rc;
  DeviceTarget target;
  if (int rc = Target(o.device, target)) return rc;
  return UpgradeCommand(target, o.image, password, o.verbose, o.timeout);
}

}  // namespace

CLI::App* AddUpgradeCommand(CLI::App& app, CommandResult& result) {
  auto o = std::make_shared<UpgradeOptions>();
  CLI::App* upgrade = app.add_subcommand("upgrade", "upgrade DEVICE's firmware with IMAGE (.pak)");
  AddDeviceOptions(upgrade, o->device, true);
  upgrade->add_option("IMAGE", o->image, "the firmware image")->type_name("");
  upgrade->add_flag("--verbose", o->verbose, "show the FTP dialogue");
  AddTimeoutOption(upgrade, o->timeout, UPGRADE_TIMEOUT_S);
  AddPasswordOptions(upgrade, o->device.password);
  upgrade->callback([o, &result] { result.exitCode = RunCommand(&o->device, [&] { return RunUpgrade(*o); }); });
  return upgrade;
}

}  // namespace ctl
