#pragma once
// Exit codes of explorerctl. Scripts branch on them, so they never change
// meaning; the help text and the manual page list them from here.
namespace ctl {

enum ExitCode : int {
  EXIT_OK = 0,
  EXIT_FAILED = 1,          // the operation ran and failed (text on stderr)
  EXIT_USAGE = 2,           // the command line is wrong; nothing was sent
  EXIT_NOT_FOUND = 3,       // no device (or no single device) answers to DEVICE
  EXIT_WRONG_PASSWORD = 4,  // the device refused the password (401, 12014, 5000)
  EXIT_NO_DEVICES = 5,      // nobody answered the scan (scan, doctor, and a batch's scan)
  EXIT_INTERRUPTED = 130,   // SIGINT or SIGTERM cancelled the work
  // SIGHUP and SIGQUIT cancel the work alike and end with 128 + the signal
  // (129, 131), as a shell reports a process they ended.
};

// The exit-code paragraph of --help (and so of the manual page).
inline const char* ExitCodeHelp() {
  return "Exit status:\n"
         "  0    success\n"
         "  1    the operation failed (its text is printed on standard error)\n"
         "  2    usage error (bad command line; nothing was sent)\n"
         "  3    device not found (no device, or several, answer to DEVICE)\n"
         "  4    wrong password (the device refused it)\n"
         "  5    no device found (nobody answered the scan; scan, doctor and batch work)\n"
         "  129  hung up (SIGHUP: the terminal or session closed; the work was cancelled)\n"
         "  130  interrupted (Ctrl-C, SIGINT or SIGTERM cancelled the work)\n"
         "  131  quit (SIGQUIT cancelled the work)\n";
}

}  // namespace ctl
