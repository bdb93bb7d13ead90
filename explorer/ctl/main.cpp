// explorerctl: the explorer's device work from a terminal, a script or an
// automation engine. No Qt: it runs on the plain layers only.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "explorer/ctl/CommandLine.h"
#include "explorer/ctl/Console.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/res/Strings.h"
#include "explorer/session/Doctor.h"

namespace {

using namespace ctl;

constexpr const char* COMMAND_FOOTER = "Passwords, batch work and exit status: explorerctl --help";

// CLI11 looks for a missing command before it looks at the words it did
// not understand, so "--bogus", "-V" and "frobnicate" would all read "A
// subcommand is required". Name the first such word instead.
std::string ParseErrorText(const CLI::App& app, const CLI::Error& e) {
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

// The rules that let the devices' answers in, as doctor gives them.
std::string FirewallRules() {
  FirewallFacts nftables;
  nftables.kind = FirewallKind::Nftables;
  nftables.chains.push_back({"inet", "filter", "input", 0, false});
  FirewallFacts firewalld;
  firewalld.kind = FirewallKind::Firewalld;
  FirewallFacts ufw;
  ufw.kind = FirewallKind::Ufw;
  return "    nftables   " + FirewallRemedy(nftables) + "\n               (your table and input chain: doctor names them)\n" +
         "    firewalld  " + FirewallRemedy(firewalld) + "\n" + "    ufw        " + FirewallRemedy(ufw) + "\n";
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
         " s for an upload), which then fails with \"Timed out\".\n\n"
         "Nothing found:\n"
         "  doctor runs one pass and reports every adapter (down, no carrier, no IPv4\n"
         "  address), the answers per adapter and target, devices outside their\n"
         "  adapter's subnet and shared addresses, and for an adapter that heard nothing\n"
         "  the likely causes with their remedies: the host firewall (it reads the\n"
         "  nftables ruleset as root only), strict reverse-path filtering (rp_filter),\n"
         "  a router between (ask with --target). The usual cause is a firewall that\n"
         "  drops the answers, which come from UDP port 8375; let them in with:\n" +
         FirewallRules() + "  --format json: the keys are listed in the README, Troubleshooting.\n\n" +
         ExitCodeHelp();
}

// CLI11's own exits: help and version on standard output, a mistake on
// standard error. They go out as every result does, so that a failed
// write of them is noticed.
int ParseExit(const CLI::App& app, const CLI::ParseError& e) {
  std::ostringstream out, err;
  const int rc = app.exit(e, out, err);
  Console::Get().Out(out.str());
  if (!err.str().empty()) Console::Get().Err(err.str());
  return rc == 0 ? rc : EXIT_USAGE;
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
  app.failure_message([](const CLI::App* at, const CLI::Error& e) {
    return "explorerctl: " + ParseErrorText(*at, e) + "\nRun with --help for more information.";
  });

  CommandResult result;
  for (auto add : {AddScanCommand, AddSetIpCommand, AddTestCommand, AddConfigCommand,
                   AddUpgradeCommand, AddServeImageCommand, AddDoctorCommand}) {
    CLI::App* command = add(app, result);
    // The long paragraphs belong to the program's help; a command's help
    // points there instead of repeating them.
    command->footer(COMMAND_FOOTER);
    for (CLI::App* sub : command->get_subcommands([](const CLI::App*) { return true; }))
      sub->footer(COMMAND_FOOTER);
  }

  // The command's callback runs inside the parse, once every option of
  // it has been read and checked.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return ParseExit(app, e);
  }
  return result.exitCode;
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
