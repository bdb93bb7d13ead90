#pragma once
// One command for many devices: the devices are picked from one scan, and
// each runs in a child process of its own (the upgrade library runs one
// operation per process), at most `jobs` at once. A summary table ends it.
#include <optional>
#include <string>

#include "explorer/session/Discovery.h"

namespace ctl {

enum class BatchCommand { Upgrade, ConfigGet, Test };

struct BatchSelector {
  bool all = false;
  std::optional<int> kind;
  std::string fromCsv;
  bool Given() const { return all || kind || !fromCsv.empty(); }
};

struct BatchArgs {
  BatchCommand command = BatchCommand::Test;
  BatchSelector selector;
  int jobs = 1;
  int passes = 1;
  DiscoveryScope scope;  // where its scan looks besides the broadcasts
  std::string image;   // upgrade
  std::string folder;  // config get: one file per device, named by its MAC
  bool verbose = false;
  int timeoutSeconds = 0;  // upgrade and config get: each job's own deadline
  std::string password;  // handed to the jobs through their environment
};

int RunBatch(const BatchArgs& args);

// The file a batch retrieve stores a device's configuration in.
std::string ConfigFileName(const std::string& macText);

}  // namespace ctl
