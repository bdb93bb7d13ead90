// test: the connection test of one device, or of a batch.
#include <memory>

#include "explorer/ctl/CommandLine.h"

namespace ctl {
namespace {

int RunTest(DeviceOptions& o) {
  if (int rc = CheckDeviceChoice(o, true, nullptr, "")) return rc;
  if (o.selector.Given()) return RunBatchOf(o, BatchCommand::Test, "", nullptr, TEST_TIMEOUT_S, false);
  DeviceTarget target;
  if (int rc = Target(o, target)) return rc;
  return TestCommand(target);
}

}  // namespace

CLI::App* AddTestCommand(CLI::App& app, CommandResult& result) {
  auto o = std::make_shared<DeviceOptions>();
  CLI::App* test = app.add_subcommand("test", "connection test: TCP connect to port 80 (23 for telnet kinds)");
  AddDeviceOptions(test, *o, true);
  test->callback([o, &result] { result.exitCode = RunCommand(o.get(), [&] { return RunTest(*o); }); });
  return test;
}

}  // namespace ctl
