#include "explorer/ctl/CommandLine.h"

#include "explorer/ctl/Console.h"
#include "explorer/ctl/DeviceScan.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/InputFile.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/protocol/SetNetwork.h"
#include "net/Ipv4.h"
#include "explorer/protocol/Scan.h"
#include "explorer/upgrade/UpgradeLibrary.h"

namespace ctl {

CLI::Validator Ipv4Address() {
  return CLI::Validator(
      [](std::string& text) { return ParseIpv4(text) ? std::string() : "not an IPv4 address: " + text; },
      "");
}

CLI::Validator NetworkMask() {
  return CLI::Validator(
      [](std::string& text) {
        const std::optional<uint32_t> mask = ParseIpv4(text);
        if (!mask) return "not an IPv4 address: " + text;
        return IsValidNetworkMask(*mask) ? std::string() : InvalidMaskText(*mask);
      },
      "");
}

namespace {

// A list of targets is a few lines; anything larger is not one.
constexpr size_t TARGETS_FILE_MAX_BYTES = 1024 * 1024;

CLI::Validator Parsed(TargetParse (*parse)(const std::string&)) {
  return CLI::Validator(
      [parse](std::string& text) {
        const TargetParse p = parse(text);
        return p.ok ? std::string() : p.error;
      },
      "");
}

}  // namespace

void AddReachOptions(CLI::App* cmd, ReachOptions& r) {
  const char* group = "Networks behind a router";
  cmd->add_option("--target", r.targets,
                  "also ask A.B.C.D (unicast) or A.B.C.D/N (that subnet's broadcast; N up to 30) (repeatable)")
      ->type_name("SPEC")
      ->check(Parsed(ParseTarget))
      ->allow_extra_args(false)
      ->group(group);
  cmd->add_option("--targets-file", r.targetsFile, "targets one a line, # starts a comment")
      ->type_name("FILE")
      ->group(group);
  cmd->add_option("--sweep", r.sweeps, "ask every address of A.B.C.D/N (16-32) or A.B.C.D-E.F.G.H (repeatable)")
      ->type_name("RANGE")
      ->check(Parsed(ParseSweep))
      ->allow_extra_args(false)
      ->group(group);
  cmd->add_option("--rate", r.rate, "a sweep's requests per second (1-1000000)")
      ->type_name("N")
      ->check(CLI::Range(1u, 1000000u).description(""))
      ->capture_default_str()
      ->group(group);
  cmd->add_flag("--no-broadcast", r.noBroadcast, "ask only the targets and sweeps, not the links' broadcasts")
      ->group(group);
}

int BuildScope(const ReachOptions& r, DiscoveryScope& scope) {
  scope = DiscoveryScope{};
  scope.broadcast = !r.noBroadcast;
  scope.sweepRate = r.rate;
  // The validators let only good ones through.
  for (const std::string& t : r.targets) scope.targets.push_back(ParseTarget(t).target);
  if (!r.targetsFile.empty()) {
    std::string text;
    int error = 0;
    switch (ReadInputFile(r.targetsFile, TARGETS_FILE_MAX_BYTES, text, error)) {
      case InputResult::Ok: break;
      case InputResult::Interrupted: return EXIT_INTERRUPTED;
      case InputResult::TooLarge:
        Console::Get().Err("explorerctl: " + r.targetsFile + ": more than " +
                           std::to_string(TARGETS_FILE_MAX_BYTES) + " bytes is not a list of targets");
        return EXIT_USAGE;
      case InputResult::Failed:
        Console::Get().Err("explorerctl: " + r.targetsFile + ": " + net::SystemErrorText(error));
        return EXIT_USAGE;
    }
    TargetList list = ParseTargetLines(text);
    for (const std::string& e : list.errors) Console::Get().Err("explorerctl: " + r.targetsFile + ": " + e);
    if (!list.errors.empty()) return EXIT_USAGE;
    for (DiscoveryTarget& t : list.targets) scope.targets.push_back(std::move(t));
  }
  for (const std::string& s : r.sweeps) scope.targets.push_back(ParseSweep(s).target);
  if (!scope.broadcast && scope.targets.empty()) {
    Console::Get().Err("explorerctl: --no-broadcast needs a --target, --targets-file or --sweep");
    return EXIT_USAGE;
  }
  return EXIT_OK;
}

void AddPassesOption(CLI::App* cmd, int& passes, const std::string& description) {
  cmd->add_option("--passes", passes, description)
      ->type_name("N")
      ->check(CLI::Range(1, SCAN_PASSES).description(""))
      ->capture_default_str();
}

void AddDeviceOptions(CLI::App* cmd, DeviceOptions& o, bool batch) {
  cmd->add_option("DEVICE", o.device, "IPv4 address or Ethernet address (AA:BB:CC:DD:EE:FF)")
      ->type_name("");
  AddPassesOption(cmd, o.passes, "discovery passes of the scan that finds DEVICE (1-3)");
  AddReachOptions(cmd, o.reach);
  // Hidden: how a batch hands each job the device it already found.
  cmd->add_option("--record", o.record)->group("");
  cmd->add_flag("--duplicate-ip", o.duplicateIp)->group("");
  cmd->add_option("--batch-parent", o.batchParent)->group("");
  if (!batch) return;
  auto* all = cmd->add_flag("--all", o.selector.all, "every device the scan finds")->group("Batch selectors");
  auto* kind = cmd->add_option("--kind", o.selector.kind, "every device of kind K (0x10 or 16)")
                   ->type_name("K")
                   ->group("Batch selectors");
  auto* from = cmd->add_option("--from", o.selector.fromCsv,
                               "the devices of a CSV file (its mac or ip column, else its first)")
                   ->type_name("FILE.csv")
                   ->group("Batch selectors");
  all->excludes(kind, from);
  kind->excludes(from);
  cmd->add_option("--jobs", o.jobs, "at most N devices at once, each in a process of its own (1-64)")
      ->type_name("N")
      ->check(CLI::Range(1, 64).description(""))
      ->capture_default_str()
      ->group("Batch selectors");
}

void AddTimeoutOption(CLI::App* cmd, int& seconds, int fallback) {
  seconds = fallback;
  cmd->add_option("--timeout", seconds,
                  "give up on a device after S seconds (1-" + std::to_string(MAX_TIMEOUT_S) +
                      "), cancelling as Ctrl-C does")
      ->type_name("S")
      ->check(CLI::Range(1, MAX_TIMEOUT_S).description(""))
      ->capture_default_str();
}

void AddPasswordOptions(CLI::App* cmd, PasswordSource& p) {
  auto* file = cmd->add_option("--password-file", p.file, "read the password from FILE's first line")
                   ->type_name("FILE");
  auto* ask = cmd->add_flag("--ask-password", p.ask, "ask for the password on the terminal (no echo)");
  file->excludes(ask);
}

// The parser fills DEVICE first, so with a selector (or --record) the one
// operand given is the command's own and moves there.
int CheckDeviceChoice(DeviceOptions& o, bool batchAllowed, std::string* operand,
                      const char* operandName) {
  if (operand && operand->empty() && !o.device.empty() &&
      (o.selector.Given() || !o.record.empty())) {
    *operand = o.device;
    o.device.clear();
  }
  if (operand && operand->empty()) {
    Console::Get().Err(std::string("explorerctl: ") + operandName + " is required");
    Console::Get().Err("Run with --help for more information.");
    return EXIT_USAGE;
  }
  const int ways = (o.device.empty() ? 0 : 1) + (o.record.empty() ? 0 : 1) +
                   (o.selector.Given() ? 1 : 0);
  if (ways == 1) return EXIT_OK;
  Console::Get().Err(ways == 0 ? (batchAllowed ? "explorerctl: give DEVICE, or --all, --kind or --from"
                                               : "explorerctl: DEVICE is missing")
                               : "explorerctl: give either DEVICE or a batch selector, not both");
  Console::Get().Err("Run with --help for more information.");
  return EXIT_USAGE;
}

int Password(const PasswordSource& source, std::string& password) {
  std::string error;
  switch (ResolvePassword(source, password, error)) {
    case PasswordResult::Ok: return EXIT_OK;
    case PasswordResult::Interrupted: return EXIT_INTERRUPTED;
    case PasswordResult::Usage: break;
  }
  Console::Get().Err("explorerctl: " + error);
  return EXIT_USAGE;
}

int Target(const DeviceOptions& o, DeviceTarget& target) {
  TargetArgs args;
  args.device = o.device;
  args.recordHex = o.record;
  args.duplicateIp = o.duplicateIp;
  args.passes = o.passes;
  if (o.record.empty()) {
    if (int rc = BuildScope(o.reach, args.scope)) return rc;
  }
  return ResolveTarget(args, target);
}

int RunBatchOf(const DeviceOptions& o, BatchCommand command, const std::string& operand,
               const PasswordSource* source, int timeoutSeconds, bool verbose) {
  BatchArgs args;
  args.command = command;
  args.timeoutSeconds = timeoutSeconds;
  args.selector = o.selector;
  args.jobs = o.jobs;
  args.passes = o.passes;
  if (int rc = BuildScope(o.reach, args.scope)) return rc;
  args.image = operand;
  args.folder = operand;
  args.verbose = verbose;
  if (source) {
    if (int rc = Password(*source, args.password)) return rc;
  }
  return RunBatch(args);
}

int RunCommand(const DeviceOptions* o, const std::function<int()>& work) {
  if (o && o->batchParent != 0 && !EndWithParent(o->batchParent)) return EXIT_INTERRUPTED;
  if (int rc = BindLibrary()) return rc;
  struct LibraryRelease {
    // Every worker has been joined by then: nothing is inside the library.
    ~LibraryRelease() { ReleaseUpgradeLibrary(); }
  } release;
  return work();
}

}  // namespace ctl
