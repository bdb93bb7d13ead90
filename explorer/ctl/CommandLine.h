#pragma once
// What explorerctl's commands have in common on the command line: the
// options several of them take (declared once here), the validators of
// their values, and the way every command's callback runs. Each command
// lives in a Cmd*.cpp of its own: its options, its setup, its callback.
#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

#include "explorer/ctl/Batch.h"
#include "explorer/ctl/DeviceCommands.h"
#include "explorer/ctl/Password.h"

namespace ctl {

// Where a command's callback leaves its exit status; a parse that ran no
// callback leaves EXIT_USAGE.
struct CommandResult {
  int exitCode = 2;
};

// Where a scan looks besides the links' broadcasts: scan, doctor, and the
// look-up behind every DEVICE.
struct ReachOptions {
  std::vector<std::string> targets;
  std::string targetsFile;
  std::vector<std::string> sweeps;
  unsigned rate = DEFAULT_SWEEP_RATE;
  bool noBroadcast = false;
};

struct DeviceOptions {
  std::string device;
  std::string record;  // a batch's job: the device as its scan found it
  bool duplicateIp = false;
  int passes = 1;
  BatchSelector selector;
  int jobs = 1;
  int batchParent = 0;  // a batch's job: the batch's process
  PasswordSource password;
  ReachOptions reach;
};

// A value that must be an IPv4 address; a network mask a device takes.
CLI::Validator Ipv4Address();
CLI::Validator NetworkMask();

void AddPassesOption(CLI::App* cmd, int& passes, const std::string& description);
// DEVICE, --passes and a batch's hidden options; with `batch`, the selectors too.
void AddDeviceOptions(CLI::App* cmd, DeviceOptions& o, bool batch);
// The deadline of a device operation; in a batch, of each device's.
void AddTimeoutOption(CLI::App* cmd, int& seconds, int fallback);
void AddPasswordOptions(CLI::App* cmd, PasswordSource& p);
void AddReachOptions(CLI::App* cmd, ReachOptions& r);
// The scope the options describe, the targets file read; EXIT_USAGE (with
// every bad line named) when something in it is not a target.
int BuildScope(const ReachOptions& r, DiscoveryScope& scope);

// DEVICE, --record and the selectors name the device(s) in exclusive ways;
// the command's own operand (FILE, IMAGE) may have landed in DEVICE.
int CheckDeviceChoice(DeviceOptions& o, bool batchAllowed, std::string* operand,
                      const char* operandName);
int Password(const PasswordSource& source, std::string& password);
int Target(const DeviceOptions& o, DeviceTarget& target);
// The batch form of test, config get and upgrade; `source` is null for a
// command that needs no password.
int RunBatchOf(const DeviceOptions& o, BatchCommand command, const std::string& operand,
               const PasswordSource* source, int timeoutSeconds, bool verbose);

// Runs a command's work as every command runs: a batch's job ends with its
// batch, and the upgrade library is bound first (as the explorer binds it
// before anything else) and released after. `o` is null for a command that
// is never a batch's job.
int RunCommand(const DeviceOptions* o, const std::function<int()>& work);

// Each adds its command to `app`; its callback leaves its status in `result`.
CLI::App* AddScanCommand(CLI::App& app, CommandResult& result);
CLI::App* AddSetIpCommand(CLI::App& app, CommandResult& result);
CLI::App* AddTestCommand(CLI::App& app, CommandResult& result);
CLI::App* AddConfigCommand(CLI::App& app, CommandResult& result);
CLI::App* AddUpgradeCommand(CLI::App& app, CommandResult& result);
CLI::App* AddServeImageCommand(CLI::App& app, CommandResult& result);
CLI::App* AddDoctorCommand(CLI::App& app, CommandResult& result);

}  // namespace ctl
