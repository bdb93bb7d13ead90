// The fleet plays of docs/fleet against this host (connection local) in the
// private network: two "sites" scanned into one inventory, then one site's
// devices of a kind upgraded two at a time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/NetGuard.h"
#include "tests/support/SimProcess.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ReadAll;

constexpr const char* kPlaybook = "/usr/bin/ansible-playbook";

class FleetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    if (::access(kPlaybook, X_OK) != 0) GTEST_SKIP() << "ansible-playbook is missing (ansible-core)";
    char tmpl[] = "/tmp/ctl-fleet-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    std::string devices;
    for (int i = 1; i <= 3; ++i)
      devices += "00:50:C2:75:00:0" + std::to_string(i) + " 3 127.0.3." + std::to_string(i) +
                 " 255.0.0.0 kqe ftp-log=" + Path("ftp" + std::to_string(i) + ".log") + "\n";
    devices += "00:50:C2:75:00:09 1 127.0.3.9 255.0.0.0 kqe ftp-log=" + Path("ftp9.log") + "\n";
    sim_ = std::make_unique<testsupport::SimProcess>(testsupport::SimProcess::WithDevices(
        devices, {"--only", "udp,ftp", "--set", "restart-ms=1500"}));
    ASSERT_TRUE(sim_->Ready()) << sim_->Error();
    testsupport::WriteAll(Path("inventory.ini"),
                          "[sites]\n"
                          "site-a ansible_connection=local\n"
                          "site-b ansible_connection=local\n"
                          "[sites:vars]\n"
                          "explorerctl=" + ctltest::CtlPath() + "\n"
                          "scan_passes=1\n"
                          "ansible_python_interpreter=/usr/bin/python3\n");
    testsupport::WriteAll(Path("vault.yml"), "device_password: kqe\n");
    testsupport::WriteAll(Path("release.pak"), std::string(50000, 'r'));
  }
  void TearDown() override {
    sim_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  ctltest::CtlResult Play(const std::string& playbook, std::vector<std::string> extra) {
    std::vector<std::string> args{"-i", Path("inventory.ini"),
                                  std::string(QUILL_SOURCE_DIR) + "/docs/fleet/" + playbook};
    args.insert(args.end(), extra.begin(), extra.end());
    // Ansible's own files stay in the test's folder.
    ctltest::CtlProcess p(args,
                          {"HOME=" + dir_, "ANSIBLE_LOCAL_TEMP=" + Path("tmp"),
                           "ANSIBLE_REMOTE_TEMP=" + Path("tmp"), "ANSIBLE_NOCOLOR=1",
                           "ANSIBLE_LOCALHOST_WARNING=False",
                           "ANSIBLE_INVENTORY_UNPARSED_WARNING=False"},
                          kPlaybook);
    return p.Wait(180s);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
  std::unique_ptr<testsupport::SimProcess> sim_;
};

TEST_F(FleetTest, ScanGathersOneInventoryAndUpgradeDoesOneSitesKind) {
  auto r = Play("scan-inventory.yml", {"-e", "fleet_inventory=" + Path("plant.json")});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const auto plant = nlohmann::json::parse(ReadAll(Path("plant.json")), nullptr, false);
  ASSERT_TRUE(plant.is_object()) << ReadAll(Path("plant.json"));
  for (const char* site : {"site-a", "site-b"}) {
    SCOPED_TRACE(site);
    ASSERT_TRUE(plant.contains(site));
    const auto& devices = plant[site];
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0]["mac"], "00:50:C2:75:00:01");
    EXPECT_EQ(devices[0]["ip"], "127.0.3.1");
    EXPECT_EQ(devices[3]["kind"], 1);
  }

  r = Play("upgrade-site.yml", {"-e", "site=site-a", "-e", "image=" + Path("release.pak"), "-e",
                                "upgrade_kind=3", "-e", "device_timeout=120", "-e",
                                "@" + Path("vault.yml")});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  // The password went through the environment and stays out of the log.
  EXPECT_EQ(r.out.find("kqe"), std::string::npos) << r.out;
  for (int i = 1; i <= 3; ++i)
    EXPECT_NE(ReadAll(Path("ftp" + std::to_string(i) + ".log")).find("SITE stable"),
              std::string::npos)
        << i;
  EXPECT_EQ(ReadAll(Path("ftp9.log")), "");  // another kind: left alone
}

}  // namespace
