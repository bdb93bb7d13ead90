// explorerctl: the explorer's device work from a terminal, a script or an
// automation engine. No Qt: it runs on the plain layers only.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "explorer/ctl/Batch.h"
#include "explorer/ctl/Console.h"
#include "explorer/ctl/DeviceCommands.h"
#include "explorer/ctl/DeviceScan.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/ctl/Password.h"
#include "explorer/ctl/ScanOutput.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/Strings.h"
#include "explorer/upgrade/UpgradeLibrary.h"
#include "explorer/upgrade/UpgradeWorker.h"

namespace {

using namespace ctl;

struct DeviceOptions {
  std::string device;
  std::string record;  // a batch's job: the device as its scan found it
  bool duplicateIp = false;
  int passes = 1;
  BatchSelector selector;
  int jobs = 1;
  int batchParent = 0;  // a batch's job: the batch's process
  PasswordSource password;
};

void AddDeviceOptions(CLI::App* cmd, DeviceOptions& o, bool batch) {
  cmd->add_option("DEVICE", o.device, "IPv4 address or Ethernet address (AA:BB:CC:DD:EE:FF)")
      ->type_name("");
  cmd->add_option("--passes", o.passes, "discovery passes of the scan that finds DEVICE (1-3)")
      ->type_name("N")
      ->check(CLI::Range(1, 3).description(""))
      ->capture_default_str();
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

// The deadline of a device operation; in a batch, of each device's.
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

// DEVICE, --record and the selectors name the device(s) in exclusive ways.
// The parser fills DEVICE first, so with a selector (or --record) the one
// operand given is the command's own (FILE, IMAGE) and moves there.
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
  return ResolveTarget(args, target);
}

// CLI11 looks for a missing command before it looks at the words it did
// not understand, so "--bogus", "-V" and "frobnicate" would all read "A
// subcommand is required". Name the first such word instead.
std::string ParseErrorText(const CLI::App& app, const CLI::ParseError& e) {
  const CLI::App* at = &app;
  std::string path;
  for (auto parsed = at->get_subcommands(); !parsed.empty(); parsed = at->get_subcommands()) {
    at = parsed.front();
    path += at->get_name() + " ";
  }
  const std::vector<std::string> left = at->remaining();
  if (dynamic_cast<const CLI::RequiredError*>(&e) == nullptr || left.empty() ||
      at->get_require_subcommand_min() == 0)
    return e.what();
  if (!left.front().empty() && left.front()[0] == '-') return "unknown option " + left.front();
  std::string names;
  for (const CLI::App* sub : at->get_subcommands([](const CLI::App*) { return true; }))
    names += (names.empty() ? "" : ", ") + sub->get_name();
  return "unknown command " + path + left.front() + " (the commands are " + names + ")";
}

std::string Footer() {
  return std::string(
             "Passwords:\n"
             "  Never on the command line. In this order: --password-file FILE, --ask-password,\n"
             "  the environment variable ") +
         PASSWORD_ENV +
         ", else the family's default password\n"
         "  (as the explorer starts every device with). A refused password ends the\n"
         "  command at once, without a retry.\n\n"
         "Batch work:\n"
         "  upgrade, test and config get take --all, --kind K or --from FILE.csv instead\n"
         "  of DEVICE; config get then stores into a FOLDER, one file per device named by\n"
         "  its Ethernet address. A summary table ends the run.\n\n"
         "Upgrade library:\n"
         "  Like the explorer, every command first binds QUILLBOX.DLL (beside the\n"
         "  program, else on the library path) and stops with the explorer's text\n"
         "  when it is missing.\n\n"
         "Progress:\n"
         "  Shown on standard error only when it is a terminal. Ctrl-C (and SIGTERM,\n"
         "  SIGHUP, SIGQUIT) cancels the running exchange or operation as the explorer's\n"
         "  Cancel does; no partial file is left. So does the deadline of upgrade and\n"
         "  config (--timeout; by default the explorer's own budget: " +
         std::to_string(UPGRADE_TIMEOUT_S) + " s for an upgrade,\n  " +
         std::to_string(RETRIEVE_TIMEOUT_S) + " s for a retrieve, " +
         std::to_string(UPLOAD_TIMEOUT_S) +
         " s for an upload), which then fails with \"Timed out\".\n\n" +
         ExitCodeHelp();
}

// Help and version go out as every result does, so that a failed write
// of them is noticed.
template <typename Call>
int ShowCall(const CLI::App& app, const Call& call) {
  std::ostringstream out, err;
  const int rc = app.exit(call, out, err);
  Console::Get().Out(out.str());
  if (!err.str().empty()) Console::Get().Err(err.str());
  return rc;
}

int Run(int argc, char** argv) {
  const std::string title = LoadBrandString(IDS_TITLE);
  const std::string device = LoadBrandString(IDS_DEVICE_NAME);

  CLI::App app{title + " from a terminal: find " + device +
                   "s, set their addresses, test them, move their configuration and upgrade "
                   "their firmware.",
               "explorerctl"};
  app.set_version_flag("--version", "explorerctl (" + title + ") " + LoadBrandString(IDS_VERSION));
  app.set_help_all_flag("--help-all", "help for every command");
  app.require_subcommand(1);
  app.footer(Footer());

  // scan
  ScanRequest scanRequest;
  scanRequest.passes = 3;
  std::string format = "table";
  CLI::App* scan = app.add_subcommand("scan", "list every device that answers a discovery");
  scan->add_option("--passes", scanRequest.passes, "discovery passes, 4.4 s each (1-3)")
      ->type_name("N")
      ->check(CLI::Range(1, 3).description(""))
      ->capture_default_str();
  scan->add_option("--interface", scanRequest.interfaces, "scan on this interface only (repeatable)")
      ->type_name("NAME")
      ->allow_extra_args(false);
  scan->add_option("--format", format, "table, csv (RFC 4180) or json")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"table", "csv", "json"}).description(""))
      ->capture_default_str();

  // set-ip
  DeviceOptions setIpOpts;
  std::string newIp;
  std::optional<std::string> newMask;
  CLI::App* setIp = app.add_subcommand("set-ip", "give DEVICE a new IP address (and mask)");
  setIp->add_option("DEVICE", setIpOpts.device, "IPv4 address or Ethernet address")->type_name("")->required();
  setIp->add_option("IP", newIp, "the new IPv4 address")->type_name("")->required();
  setIp->add_option("--mask", newMask,
                    "the new network mask (default: the current one, or the adapter's when the "
                    "device has none)")
      ->type_name("MASK");
  setIp->add_option("--passes", setIpOpts.passes, "discovery passes of the scan that finds DEVICE (1-3)")
      ->type_name("N")
      ->check(CLI::Range(1, 3).description(""))
      ->capture_default_str();
  AddPasswordOptions(setIp, setIpOpts.password);

  // test
  DeviceOptions testOpts;
  CLI::App* test = app.add_subcommand("test", "connection test: TCP connect to port 80 (23 for telnet kinds)");
  AddDeviceOptions(test, testOpts, true);

  // config get / put
  CLI::App* config = app.add_subcommand("config", "configuration file retrieve (get) and upload (put)");
  config->require_subcommand(1);
  DeviceOptions getOpts, putOpts;
  std::string getFile, putFile;
  int getTimeout = 0, putTimeout = 0;
  CLI::App* get = config->add_subcommand("get", "store DEVICE's configuration file in FILE");
  AddDeviceOptions(get, getOpts, true);
  get->add_option("FILE", getFile,
                  "where to store it (- for standard output; a FOLDER with a batch selector)")
      ->type_name("");
  AddTimeoutOption(get, getTimeout, RETRIEVE_TIMEOUT_S);
  AddPasswordOptions(get, getOpts.password);
  CLI::App* put = config->add_subcommand("put", "send FILE to DEVICE as its configuration");
  AddDeviceOptions(put, putOpts, false);
  put->add_option("FILE", putFile, "the configuration file to send")->type_name("");
  AddTimeoutOption(put, putTimeout, UPLOAD_TIMEOUT_S);
  AddPasswordOptions(put, putOpts.password);

  // upgrade
  DeviceOptions upgradeOpts;
  std::string image;
  bool verbose = false;
  int upgradeTimeout = 0;
  CLI::App* upgrade = app.add_subcommand("upgrade", "upgrade DEVICE's firmware with IMAGE (.pak)");
  AddDeviceOptions(upgrade, upgradeOpts, true);
  upgrade->add_option("IMAGE", image, "the firmware image")->type_name("");
  upgrade->add_flag("--verbose", verbose, "show the FTP dialogue");
  AddTimeoutOption(upgrade, upgradeTimeout, UPGRADE_TIMEOUT_S);
  AddPasswordOptions(upgrade, upgradeOpts.password);

  // serve-image
  std::string served;
  int timeout = 100;
  CLI::App* serve = app.add_subcommand(
      "serve-image", "serve IMAGE's folder over TFTP (port 69) until a device has fetched a file");
  serve->add_option("IMAGE", served, "the image a device will fetch")->type_name("")->required();
  serve->add_option("--timeout", timeout, "give up after S seconds (1-100)")
      ->type_name("S")
      ->check(CLI::Range(1, 100).description(""))
      ->capture_default_str();

  // The long paragraphs belong to the program's help; a command's help
  // points there instead of repeating them.
  for (CLI::App* sub : {scan, setIp, test, config, get, put, upgrade, serve})
    sub->footer("Passwords, batch work and exit status: explorerctl --help");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return ShowCall(app, e);
  } catch (const CLI::CallForAllHelp& e) {
    return ShowCall(app, e);
  } catch (const CLI::CallForVersion& e) {
    return ShowCall(app, e);
  } catch (const CLI::ParseError& e) {
    Console::Get().Err("explorerctl: " + ParseErrorText(app, e));
    Console::Get().Err("Run with --help for more information.");
    return EXIT_USAGE;
  }

  // A batch's job ends with its batch, whatever ends that.
  for (const DeviceOptions* o : {&testOpts, &getOpts, &putOpts, &upgradeOpts}) {
    if (o->batchParent != 0 && !EndWithParent(o->batchParent)) return EXIT_INTERRUPTED;
  }

  // The explorer binds its upgrade library before anything else and does
  // not run without it; so does every command here.
  if (int rc = BindLibrary()) return rc;
  struct LibraryRelease {
    // Every worker has been joined by then: nothing is inside the library.
    ~LibraryRelease() { ReleaseUpgradeLibrary(); }
  } release;

  if (*scan) {
    ScanResult result = ScanDevices(scanRequest);
    if (result.exitCode == EXIT_INTERRUPTED) return result.exitCode;
    if (!result.failureText.empty() && result.rows.empty()) Console::Get().Err(result.failureText);
    // An empty inventory is still valid CSV or JSON for whoever reads it.
    if (!result.rows.empty() || format != "table") {
      const ScanFormat f = format == "csv" ? ScanFormat::Csv
                           : format == "json" ? ScanFormat::Json
                                              : ScanFormat::Table;
      Console::Get().Out(RenderScan(result.rows, f));
    }
    return result.exitCode;
  }

  if (*setIp) {
    // Checked before the scan: a typo costs no 4.4 s and sends nothing.
    for (const std::string* text : {&newIp, newMask ? &*newMask : nullptr}) {
      if (text && !ParseIpv4(*text)) {
        Console::Get().Err("explorerctl: not an IPv4 address: " + *text);
        return EXIT_USAGE;
      }
    }
    if (newMask && !IsValidNetworkMask(*ParseIpv4(*newMask))) {
      Console::Get().Err("explorerctl: --mask: " + InvalidMaskText(*ParseIpv4(*newMask)));
      return EXIT_USAGE;
    }
    std::string password;
    if (int rc = Password(setIpOpts.password, password)) return rc;
    DeviceTarget target;
    if (int rc = Target(setIpOpts, target)) return rc;
    return SetIpCommand(target, newIp, newMask, password);
  }

  // The batch forms of test, config get and upgrade.
  auto batch = [&](DeviceOptions& o, BatchCommand command, const std::string& operand,
                   const PasswordSource* source, int timeoutSeconds) -> int {
    BatchArgs args;
    args.command = command;
    args.timeoutSeconds = timeoutSeconds;
    args.selector = o.selector;
    args.jobs = o.jobs;
    args.passes = o.passes;
    args.image = operand;
    args.folder = operand;
    args.verbose = verbose;
    if (source) {
      if (int rc = Password(*source, args.password)) return rc;
    }
    return RunBatch(args);
  };

  if (*test) {
    if (int rc = CheckDeviceChoice(testOpts, true, nullptr, "")) return rc;
    if (testOpts.selector.Given())
      return batch(testOpts, BatchCommand::Test, "", nullptr, TEST_TIMEOUT_S);
    DeviceTarget target;
    if (int rc = Target(testOpts, target)) return rc;
    return TestCommand(target);
  }

  if (*get) {
    if (int rc = CheckDeviceChoice(getOpts, true, &getFile, "FILE")) return rc;
    if (getOpts.selector.Given())
      return batch(getOpts, BatchCommand::ConfigGet, getFile, &getOpts.password, getTimeout);
    std::string password;
    if (int rc = Password(getOpts.password, password)) return rc;
    DeviceTarget target;
    if (int rc = Target(getOpts, target)) return rc;
    return ConfigGetCommand(target, getFile, password, getTimeout);
  }

  if (*put) {
    if (int rc = CheckDeviceChoice(putOpts, false, &putFile, "FILE")) return rc;
    std::string password;
    if (int rc = Password(putOpts.password, password)) return rc;
    DeviceTarget target;
    if (int rc = Target(putOpts, target)) return rc;
    return ConfigPutCommand(target, putFile, password, putTimeout);
  }

  if (*upgrade) {
    if (int rc = CheckDeviceChoice(upgradeOpts, true, &image, "IMAGE")) return rc;
    // The library would find out only after the scan and the login, once
    // per device of a batch.
    if (!ImageCanBeOpened(image)) {
      Console::Get().Err(ImageOpenFailureText(image));
      return EXIT_USAGE;
    }
    if (upgradeOpts.selector.Given())
      return batch(upgradeOpts, BatchCommand::Upgrade, image, &upgradeOpts.password,
                   upgradeTimeout);
    std::string password;
    if (int rc = Password(upgradeOpts.password, password)) return rc;
    DeviceTarget target;
    if (int rc = Target(upgradeOpts, target)) return rc;
    return UpgradeCommand(target, image, password, verbose, upgradeTimeout);
  }

  if (*serve) return ServeImageCommand(served, timeout);
  return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  // First: it takes descriptors 0 to 2 should they have come closed.
  Console& console = Console::Get();
  InstallInterruptHandlers();
  int rc = EXIT_FAILED;
  // Every operation catches its own failures; this is the end of the line
  // for a shortage anywhere else, which fails the command, not the process.
  try {
    rc = Run(argc, argv);
  } catch (...) {
    try {
      std::string why;
      OperationFailure(std::current_exception(), why);
      console.Err("explorerctl: " + why);
    } catch (...) {
    }
  }
  // Whatever a signal cancelled ends with that signal's status.
  if (rc == EXIT_INTERRUPTED) rc = InterruptedExitStatus();
  return console.Finish(rc);
}
