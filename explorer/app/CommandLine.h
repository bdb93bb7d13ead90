#pragma once
// The explorer's own command line, read before QApplication exists: help,
// version and a mistyped option must answer without a display. Qt's
// options are let through untouched for QApplication, which takes them out
// of argv itself.
#include <cstdio>
#include <string>
#include <vector>

struct ExplorerCommandLine {
  enum class Action { Run, Help, Version, UsageError };
  Action action = Action::Run;
  std::string screenshot;  // --screenshot FILE; empty for an interactive run
  std::string error;       // what was not understood, for UsageError
};

// args: argv[1] onwards.
ExplorerCommandLine ParseExplorerCommandLine(const std::vector<std::string>& args);

// The texts of --help and --version; programName is how the user called
// the program (the file's base name).
std::string ExplorerUsage(const std::string& programName);
std::string ExplorerVersion();
// The usage error's lines for standard error.
std::string ExplorerUsageError(const std::string& programName, const std::string& error);

// Writes text whole to `to` and flushes it; false when any of it could not
// be written (a closed pipe, a full disk).
bool WriteAllOut(std::FILE* to, const std::string& text);
