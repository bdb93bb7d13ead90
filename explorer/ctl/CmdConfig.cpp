// config get and config put: a device's configuration file, retrieved or
// uploaded; get also for a batch, into a folder.
#include <memory>

#include "explorer/ctl/CommandLine.h"

namespace ctl {
namespace {

struct ConfigOptions {
  DeviceOptions device;
  std::string file;
  int timeout = 0;
};

int RunGet(ConfigOptions& o) {
  if (int rc = CheckDeviceChoice(o.device, true, &o.file, "FILE")) return rc;
  if (o.device.selector.Given())
    return RunBatchOf(o.device, BatchCommand::ConfigGet, o.file, &o.device.password, o.timeout, false);
  std::string password;
  if (int rc = Password(o.device.password, password)) return rc;
  DeviceTarget target;
  if (int rc = Target(o.device, target)) return rc;
  return ConfigGetCommand(target, o.file, password, o.timeout);
}

int RunPut(ConfigOptions& o) {
  if (int rc = CheckDeviceChoice(o.device, false, &o.file, "FILE")) return rc;
  std::string password;
  if (int rc = Password(o.device.password, password)) return rc;
  DeviceTarget target;
  if (int rc = Target(o.device, target)) return rc;
  return ConfigPutCommand(target, o.file, password, o.timeout);
}

CLI::App* AddGet(CLI::App* config, CommandResult& result) {
  auto o = std::make_shared<ConfigOptions>();
  CLI::App* get = config->add_subcommand("get", "store DEVICE's configuration file in FILE");
  AddDeviceOptions(get, o->device, true);
  get->add_option("FILE", o->file, "where to store it (- for standard output; a FOLDER with a batch selector)")
      ->type_name("");
  AddTimeoutOption(get, o->timeout, RETRIEVE_TIMEOUT_S);
  AddPasswordOptions(get, o->device.password);
  get->callback([o, &result] { result.exitCode = RunCommand(&o->device, [&] { return RunGet(*o); }); });
  return get;
}

CLI::App* AddPut(CLI::App* config, CommandResult& result) {
  auto o = std::make_shared<ConfigOptions>();
  CLI::App* put = config->add_subcommand("put", "send FILE to DEVICE as its configuration");
  AddDeviceOptions(put, o->device, false);
  put->add_option("FILE", o->file, "the configuration file to send")->type_name("");
  AddTimeoutOption(put, o->timeout, UPLOAD_TIMEOUT_S);
  AddPasswordOptions(put, o->device.password);
  put->callback([o, &result] { result.exitCode = RunCommand(&o->device, [&] { return RunPut(*o); }); });
  return put;
}

}  // namespace

CLI::App* AddConfigCommand(CLI::App& app, CommandResult& result) {
  CLI::App* config = app.add_subcommand("config", "configuration file retrieve (get) and upload (put)");
  config->require_subcommand(1);
  AddGet(config, result);
  AddPut(config, result);
  return config;
}

}  // namespace ctl
