#pragma once
// The one place where the program starts other programs. Programs are
// started without waiting for them; their ends are collected later so no
// zombie outlives the next start or the program.
#include <string>
#include <vector>

struct LaunchResult {
  int result = 0;   // 0 when started, -1 when not
  int error = 0;    // errno of the failure
};

// Starts `program` (looked up along PATH when it has no '/') with the
// argument vector `argv` (argv[0] fills the program-name position).
LaunchResult StartProgram(const std::string& program, const std::vector<std::string>& argv);

// Collects the programs started here that have ended; never waits.
// Other children of the process are left alone.
void ReapStartedPrograms();
// How many started programs have not been collected yet.
int UnreapedStartedPrograms();
