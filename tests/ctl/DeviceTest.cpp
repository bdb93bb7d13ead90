// explorerctl set-ip and test against simulated devices: an address set and
// seen by the next scan, the device's refusals with their texts and exit
// codes, devices that cannot be named uniquely, the connection test on an
// open and a closed port, and a batch whose device list comes from a FIFO.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/NetGuard.h"
#include "tests/support/SimProcess.h"

namespace {

using namespace std::chrono_literals;
using ctltest::RunCtl;

class DeviceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!testsupport::InPrivateNetwork(&why)) return;
    // No web server anywhere: port 80 is closed, the console's 23 is open.
    sim_ = std::make_unique<testsupport::SimProcess>(testsupport::SimProcess::WithDevices(
        "00:50:C2:71:00:01 0    127.0.0.71 255.0.0.0 kqe\n"
        "00:50:C2:71:00:02 0x30 127.0.0.72 255.0.0.0 kqe\n"
        "00:50:C2:71:00:03 0x30 127.0.0.73 255.0.0.0 kqe\n"
        "00:50:C2:71:00:04 0x30 127.0.0.73 255.0.0.0 kqe\n"
        "00:50:C2:71:00:05 1    127.0.0.75 255.0.0.0 secret\n"
        "00:50:C2:71:00:06 1    0.0.0.0    0.0.0.0   secret\n",
        {"--only", "udp,telnet"}));
  }
  static void TearDownTestSuite() { sim_.reset(); }
  void SetUp() override {
    QUILL_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(sim_ && sim_->Ready()) << (sim_ ? sim_->Error() : "no simulator");
  }
  static std::unique_ptr<testsupport::SimProcess> sim_;
};
std::unique_ptr<testsupport::SimProcess> DeviceTest::sim_;

TEST_F(DeviceTest, SetIpMovesTheDeviceAndTheNextScanSeesIt) {
  char dir[] = "/tmp/ctl-setip-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/pw";
  testsupport::WriteAll(file, "secret\n");
  auto r = RunCtl({"set-ip", "00:50:C2:71:00:05", "127.0.0.85", "--mask", "255.255.0.0",
                   "--password-file", file});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "00:50:C2:71:00:05 127.0.0.85 255.255.0.0\n");
  r = RunCtl({"scan", "--passes", "1", "--format", "csv"});
  EXPECT_NE(r.out.find("00:50:C2:71:00:05,127.0.0.85,255.255.0.0,1,lo,lo,false,false\r\n"),
            std::string::npos)
      << r.out;
  // Back where it was, by its new address and with the password from the
  // environment; the mask is kept when none is given.
  r = RunCtl({"set-ip", "127.0.0.85", "127.0.0.75"}, {"EXPLORERCTL_PASSWORD=secret"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "00:50:C2:71:00:05 127.0.0.75 255.255.0.0\n");
  ::unlink(file.c_str());
  ::rmdir(dir);
}

// Its own 0.0.0.0 would be refused; the loopback link it answered on has
// 255.0.0.0.
TEST_F(DeviceTest, SetIpOnADeviceWithoutAnAddressOffersTheMaskOfItsLink) {
  const auto r = RunCtl({"set-ip", "00:50:C2:71:00:06", "127.0.0.76"}, {"EXPLORERCTL_PASSWORD=secret"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "00:50:C2:71:00:06 127.0.0.76 255.0.0.0\n");
}

TEST_F(DeviceTest, SetIpRefusalsKeepTheDeviceAndSayWhy) {
  const struct {
    std::vector<std::string> args;
    std::string password;
    int exitCode;
    std::string err;
  } cases[] = {
      // The family's default password (kqe) is not this device's.
      {{"set-ip", "127.0.0.75", "127.0.0.95"}, "", 4,
       "Unable to update network parameters: Invalid password. Give the password with "
       "--password-file FILE, --ask-password or the environment variable EXPLORERCTL_PASSWORD.\n"},
      {{"set-ip", "127.0.0.75", "255.255.255.255"}, "secret", 1,
       "Unable to update network parameters: Cannot set specified IP Address\n"},
      // A contiguous mask that this device does not take: which mask, and how to choose another.
      {{"set-ip", "127.0.0.75", "127.0.0.95", "--mask", "255.255.255.255"}, "secret", 1,
       "Unable to update network parameters: Cannot set specified Network Mask (the mask sent "
       "was 255.255.255.255; give another with --mask MASK)\n"},
      {{"set-ip", "00:50:C2:71:00:99", "127.0.0.95"}, "secret", 3,
       "No Osprey Panel answers at 00:50:C2:71:00:99\n"},
      {{"set-ip", "127.0.0.73", "127.0.0.95"}, "secret", 3,
       "2 Osprey Panels answer at 127.0.0.73 (duplicate IP); name the device by its Ethernet "
       "address\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[2]);
    std::vector<std::string> env;
    if (!c.password.empty()) env.push_back("EXPLORERCTL_PASSWORD=" + c.password);
    const auto r = RunCtl(c.args, env);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  const auto r = RunCtl({"scan", "--passes", "1", "--format", "csv"});
  EXPECT_NE(r.out.find("00:50:C2:71:00:05,127.0.0.75,"), std::string::npos) << r.out;
}

TEST_F(DeviceTest, ConnectionTestOpenClosedAndDuplicate) {
  const struct {
    const char* device;
    int exitCode;
    const char* out;
    const char* err;
  } cases[] = {
      {"00:50:C2:71:00:02", 0, "Network connection is OK\n", ""},  // kind 0x30: port 23
      {"127.0.0.71", 1, "", "Network connection test failed\n"},   // port 80 refused
      // Its port 23 is open, but it shares its address: fails without a
      // connection, as in the explorer.
      {"00:50:C2:71:00:03", 1, "", "Network connection test failed\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    const auto r = RunCtl({"test", c.device, "--passes", "1"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

// A script may hand the batch its devices through a FIFO: the batch waits
// for the writer, yet a signal still ends that wait at once.
TEST_F(DeviceTest, ABatchListFromAFifoWaitsForItsWriterButNotPastASignal) {
  char dir[] = "/tmp/ctl-fifo-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/devices.csv";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(::strsignal(sig));
    ctltest::CtlProcess batch({"test", "--from", fifo});
    ASSERT_TRUE(batch.Started());
    std::this_thread::sleep_for(500ms);
    const auto sent = std::chrono::steady_clock::now();
    batch.Signal(sig);
    const auto r = batch.Wait(10s);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_FALSE(r.killed) << "the signal did not end the wait for a writer";
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_LT(took, 2.0);
  }

  // A writer that comes later is waited for and read to its end.
  ctltest::CtlProcess batch({"test", "--from", fifo, "--passes", "1"});
  ASSERT_TRUE(batch.Started());
  std::this_thread::sleep_for(500ms);
  {
    // The batch holds the reading end by now, so this open does not wait.
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(w, 0) << "the batch did not open the FIFO";
    const std::string list = "mac\n00:50:C2:71:00:02\n";
    EXPECT_EQ(::write(w, list.data(), list.size()), static_cast<ssize_t>(list.size()));
    std::this_thread::sleep_for(300ms);
    ::close(w);
  }
  const auto r = batch.Wait(30s);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("00:50:C2:71:00:02"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" ok "), std::string::npos) << r.out;
  std::filesystem::remove_all(dir);
}

}  // namespace
