// The sample devices of the main job (tools/devicesim/sample-devices.txt, as
// scripts/run-explorer.sh starts them) let every action work: each device
// with a web side hands out its sample configuration with the password its
// line gives, takes one back, and the sample image upgrades a device.
// Driven through explorerctl, which runs the explorer's own layers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "explorer/res/Strings.h"
#include "support/FileBytes.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"
#include "tests/ctl/CtlProcess.h"

namespace fs = std::filesystem;
using ctltest::RunCtl;
using testsupport::ReadAll;

namespace {

const fs::path kSamples = fs::path(QUILL_SOURCE_DIR) / "tools/devicesim";

struct SampleDevice {
  std::string mac, kind, password, config;
};

// The sample file's devices that name a configuration.
std::vector<SampleDevice> DevicesWithConfiguration() {
  std::vector<SampleDevice> devices;
  std::istringstream in(ReadAll((kSamples / "sample-devices.txt").string()));
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    SampleDevice d;
    std::string ip, mask, option;
    if (!(words >> d.mac >> d.kind >> ip >> mask >> d.password)) continue;
    while (words >> option)
      if (option.rfind("config=", 0) == 0) d.config = option.substr(7);
    if (!d.config.empty()) devices.push_back(d);
  }
  return devices;
}

class SampleDevices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!testsupport::InPrivateNetwork(&why)) return;
    // Started from another folder than the sample's: the configuration
    // paths must not depend on where the simulator runs.
    sim_ = std::make_unique<testsupport::SimProcess>(
        std::vector<std::string>{"--file", (kSamples / "sample-devices.txt").string()});
  }
  static void TearDownTestSuite() { sim_.reset(); }
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    // Without it explorerctl tries the family's default password.
    ::unsetenv("EXPLORERCTL_PASSWORD");
    ASSERT_TRUE(sim_ && sim_->Ready()) << (sim_ ? sim_->Error() : "no simulator");
    dir_ = fs::temp_directory_path() / ("tools_sample_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  static std::unique_ptr<testsupport::SimProcess> sim_;
  fs::path dir_;
};
std::unique_ptr<testsupport::SimProcess> SampleDevices::sim_;

TEST_F(SampleDevices, EveryWebDeviceHandsOutItsConfigurationAndTakesOneBack) {
  const std::vector<SampleDevice> devices = DevicesWithConfiguration();
  ASSERT_GE(devices.size(), 4u);
  bool prompts = false;
  for (const SampleDevice& d : devices) {
    SCOPED_TRACE(d.mac);
    const std::string expected = ReadAll((kSamples / d.config).string());
    ASSERT_FALSE(expected.empty()) << d.config;
    const std::string got = Path(d.mac.substr(12, 2) + ".txt");
    auto r = RunCtl({"config", "get", d.mac, got}, {"EXPLORERCTL_PASSWORD=" + d.password});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadAll(got), expected);
    if (d.password != LoadBrandString(IDS_DEFAULT_PASSWORD)) {
      // What the window's password prompt shows a newcomer.
      prompts = true;
      r = RunCtl({"config", "get", d.mac, Path("refused.txt")});
      EXPECT_EQ(r.exitCode, 4) << r.err;
    }
  }
  EXPECT_TRUE(prompts) << "one sample device asks for a password of its own";

  // Set configuration, then Get configuration shows what was set.
  const SampleDevice& d = devices.front();
  testsupport::WriteAll(Path("edited.txt"), "DeviceName=Edited on the bench\n");
  auto r = RunCtl({"config", "put", d.mac, Path("edited.txt")}, {"EXPLORERCTL_PASSWORD=" + d.password});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  r = RunCtl({"config", "get", d.mac, Path("again.txt")}, {"EXPLORERCTL_PASSWORD=" + d.password});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadAll(Path("again.txt")), "DeviceName=Edited on the bench\n");
}

TEST_F(SampleDevices, TheSampleImageUpgradesADevice) {
  // The first device of a kind that has a firmware upgrade (16, 18, 48 and
  // 49 have none).
  std::string mac;
  for (const SampleDevice& d : DevicesWithConfiguration()) {
    const unsigned long kind = std::stoul(d.kind, nullptr, 0);
    if (kind != 0x10 && kind != 0x12 && d.password == LoadBrandString(IDS_DEFAULT_PASSWORD)) {
      mac = d.mac;
      break;
    }
  }
  ASSERT_FALSE(mac.empty());
  const fs::path image = kSamples / "sample-firmware.pak";
  ASSERT_TRUE(fs::is_regular_file(image));
  const auto r = RunCtl({"upgrade", mac, image.string()}, {}, std::chrono::seconds(90));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Operation completed successfully\n") << r.err;
}

}  // namespace
