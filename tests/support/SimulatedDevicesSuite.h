#pragma once
// Base of the suites whose tests share one device simulator: it starts once
// per suite, only inside the private network, with the host's proxies out
// of the way and a temporary folder of the suite's own, removed at the end.
// Every test skips outside the private network and fails at once when the
// simulator did not come up.
//
//   class TransferTest : public testsupport::SimulatedDevicesSuite<TransferTest> {
//    protected:
//     static void SetUpTestSuite() {
//       StartDevices("transfer", {"--only", "http"}, [](const std::string& dir) {
//         testsupport::WriteAll(dir + "/device.cfg", "name=A\n");
//         return "00:50:C2:60:00:01 0 127.0.0.21 255.0.0.0 admin config=" + dir + "/device.cfg\n";
//       });
//     }
//   };
//
// A suite that needs more set-up per test calls SimulatedDevicesSuite::SetUp()
// first and returns when IsSkipped() or HasFatalFailure().
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/NetGuard.h"
#include "support/SimProcess.h"

namespace testsupport {

template <typename Suite>
class SimulatedDevicesSuite : public ::testing::Test {
 protected:
  // Makes the folder, lets `devices` fill it and return the device file
  // text, and starts the simulator with it and `args`.
  static void StartDevices(const std::string& name, std::vector<std::string> args,
                           const std::function<std::string(const std::string& dir)>& devices) {
    // Nothing is started outside the private network namespace.
    std::string why;
    if (!InPrivateNetwork(&why)) return;
    // The devices are reached directly, never through a proxy of the host.
    for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(v);
    std::string pattern = "/tmp/quill-" + name + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) return;
    dir_ = pattern;
    sim_ = std::make_unique<SimProcess>(SimProcess::WithDevices(devices(dir_), std::move(args)));
  }

  static void TearDownTestSuite() {
    sim_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
    dir_.clear();
  }

  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(sim_ && sim_->Ready()) << (sim_ ? sim_->Error() : "no simulator");
  }

  // A path in the suite's folder.
  static std::string Path(const std::string& name) { return dir_ + "/" + name; }

  static inline std::string dir_;
  static inline std::unique_ptr<SimProcess> sim_;
};

}  // namespace testsupport
