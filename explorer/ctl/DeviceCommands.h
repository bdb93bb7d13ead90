#pragma once
// The per-device commands. Each returns an exit code (ExitCodes.h) and has
// printed its outcome: results on standard output, failures on standard
// error.
#include <optional>
#include <string>

#include "explorer/ctl/DeviceScan.h"
#include "explorer/ctl/Password.h"
#include "explorer/protocol/ConnectionTest.h"
#include "explorer/session/Operations.h"
#include "explorer/upgrade/UpgradeWorker.h"

namespace ctl {

// How long a device operation may take unless --timeout says otherwise: the
// explorer's busy budget of each. Past it the operation is cancelled as
// Ctrl-C cancels it, and fails. The connection test keeps its probe's limit.
constexpr int UPGRADE_TIMEOUT_S = UPGRADE_BUSY_MS / 1000;
constexpr int RETRIEVE_TIMEOUT_S = RETRIEVE_BUSY_MS / 1000;
constexpr int UPLOAD_TIMEOUT_S = UPLOAD_BUSY_MS / 1000;
constexpr int TEST_TIMEOUT_S = CONNECTION_TEST_BUSY_MS / 1000;
constexpr int MAX_TIMEOUT_S = 24 * 3600;

struct DeviceTarget {
  DeviceRecord record;
  bool duplicateIp = false;
  std::string link;  // interface its reply came on; "" when unknown (or from --record)
  DeviceVia via;     // and how it was reached: where a request for it alone also goes
};

// How a command finds its device: by a scan of `passes` passes, or from the
// record a batch already scanned (then DEVICE is not given).
struct TargetArgs {
  std::string device;
  std::string recordHex;
  bool duplicateIp = false;  // only with recordHex
  int passes = 1;
  DiscoveryScope scope;
};
// Given an IPv4 address, the device there is asked alone first (a short
// exchange); only when it does not answer, or for an Ethernet address, a
// scan of `passes` passes with the scope looks for it.
int ResolveTarget(const TargetArgs& args, DeviceTarget& target);

// `ip` and `mask` in network byte order; without a mask the device keeps its
// own (or takes its adapter's).
// One set-network exchange for the device, with the countdown on the
// terminal; the device's result (0: taken).
int32_t SendNetworkParameters(const DeviceTarget& target, uint32_t ip, uint32_t mask, const std::string& password);
// Whether the device answers when asked alone at `ip` (a few short tries).
constexpr int CONFIRM_ATTEMPTS = 3;
bool AnswersAt(uint32_t ip, const DeviceRecord& device);
int SetIpCommand(const DeviceTarget& target, uint32_t ip, std::optional<uint32_t> mask,
                 const std::string& password);
int TestCommand(const DeviceTarget& target);
int ConfigGetCommand(const DeviceTarget& target, const std::string& file,
                     const std::string& password, int timeoutSeconds);
int ConfigPutCommand(const DeviceTarget& target, const std::string& file,
                     const std::string& password, int timeoutSeconds);
int UpgradeCommand(const DeviceTarget& target, const std::string& image,
                   const std::string& password, bool verbose, int timeoutSeconds);
// Timeout in seconds, 1 to 100 (the library's wait ends by itself after 100).
int ServeImageCommand(const std::string& image, int timeoutSeconds);

// Binds QUILLBOX.DLL as the explorer does at its start; on failure prints
// the explorer's text for it and returns EXIT_FAILED. Every command runs
// after it; the binding is released when the program ends.
int BindLibrary();

}  // namespace ctl
