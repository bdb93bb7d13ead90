#pragma once
// set-ip --plan: commissioning many devices from a CSV plan.
#include <string>

#include "explorer/ctl/CommandLine.h"

namespace ctl {

// Checks the whole plan against one scan, then (unless dryRun) applies it
// row by row and confirms each row by asking the device at its new
// address; a table of every row ends it. An exit code.
int RunSetIpPlan(const std::string& file, bool dryRun, const DeviceOptions& o, const std::string& password);

}  // namespace ctl
