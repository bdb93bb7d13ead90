// explorerctl upgrade against simulated FTP servers and the real upgrade
// library: one device to the end (with its trace), a refused password,
// Ctrl-C while the device restarts, a batch of eight devices three at a
// time with one refusal among them, devices that go silent at each step of
// the upgrade (the deadline ends them, one by one and in a batch), and a
// batch killed outright, whose jobs must not outlive it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/ctl/CtlProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/SimulatedDevicesSuite.h"

namespace {

using namespace std::chrono_literals;
using ctltest::RunCtl;
using testsupport::ReadAll;

std::string BatchMac(int i) { return "00:50:C2:74:01:0" + std::to_string(i); }
// Devices that stop answering: at each step of the upgrade, and twice more
// at the site command, with a log to see how far they came.
const char* const kSilentAt[] = {"greeting", "data", "transfer", "site", "site", "site"};
std::string SilentMac(int i) { return "00:50:C2:74:02:0" + std::to_string(i); }

class UpgradeTest : public testsupport::SimulatedDevicesSuite<UpgradeTest> {
 protected:
  static void SetUpTestSuite() {
    StartDevices("ctl-upgrade", {"--only", "udp,ftp", "--set", "restart-ms=1500"},
                 [](const std::string& dir) {
      testsupport::WriteAll(dir + "/release.pak",
                            std::string(200000, '\x5a') + std::string("\0end", 4));
      std::string devices =
          "00:50:C2:74:00:01 0 127.0.0.91 255.0.0.0 kqe ftp-log=" + dir + "/ftp1.log\n"
          "00:50:C2:74:00:02 2 127.0.0.92 255.0.0.0 other\n"
          "00:50:C2:74:00:03 0 127.0.0.93 255.0.0.0 kqe restart-ms=20000 ftp-log=" + dir + "/ftp3.log\n";
      // The batch: kind 3, one of them with another password.
      for (int i = 1; i <= 8; ++i) {
        devices += BatchMac(i) + " 3 127.0.1." + std::to_string(i) + " 255.0.0.0 " +
                   (i == 5 ? "other" : "kqe") + " ftp-log=" + dir + "/batch" + std::to_string(i) +
                   ".log\n";
      }
      for (int i = 1; i <= 6; ++i) {
        devices += SilentMac(i) + " 0 127.0.2." + std::to_string(i) + " 255.0.0.0 kqe ftp-silent=" +
                   kSilentAt[i - 1] + " ftp-log=" + dir + "/silent" + std::to_string(i) + ".log\n";
      }
      return devices;
    });
  }
  static bool Contains(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
  }
  // A batch's device list: a "mac" column.
  static std::string DeviceList(const std::string& name, const std::vector<std::string>& macs) {
    std::string csv = "mac\n";
    for (const std::string& m : macs) csv += m + "\n";
    testsupport::WriteAll(Path(name), csv);
    return Path(name);
  }
};

TEST_F(UpgradeTest, UpgradeRunsToTheEndAndVerboseShowsTheTraceWithoutThePassword) {
  auto r = RunCtl({"upgrade", "127.0.0.91", Path("release.pak"), "--verbose"}, {}, 120s);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Operation completed successfully\n");
  const std::string log = ReadAll(Path("ftp1.log"));
  EXPECT_TRUE(Contains(log, "STOR release.pak")) << log;
  EXPECT_TRUE(Contains(log, "SITE Upgrade")) << log;
  EXPECT_TRUE(Contains(log, "SITE stable")) << log;
  EXPECT_TRUE(Contains(r.err, "Sent: pass ****")) << r.err;
  EXPECT_FALSE(Contains(r.err, "pass kqe")) << r.err;
}

TEST_F(UpgradeTest, RefusedPasswordEndsAtOnceWithItsCode) {
  auto r = RunCtl({"upgrade", "00:50:C2:74:00:02", Path("release.pak")}, {}, 60s);
  EXPECT_EQ(r.exitCode, 4);
  // The library's words, then how to give another password; no FTP trace
  // without --verbose.
  EXPECT_EQ(r.err,
            "Login incorrect. Give the password with --password-file FILE, --ask-password or the "
            "environment variable EXPLORERCTL_PASSWORD.\n");
  EXPECT_EQ(r.out, "");
  // The right one from a file works on the same device.
  testsupport::WriteAll(Path("pw"), "other\n");
  r = RunCtl({"upgrade", "00:50:C2:74:00:02", Path("release.pak"), "--password-file", Path("pw")},
             {}, 120s);
  EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(UpgradeTest, CtrlCWhileTheDeviceRestartsCancelsTheUpgrade) {
  ctltest::CtlProcess upgrade({"upgrade", "127.0.0.93", Path("release.pak")});
  ASSERT_TRUE(upgrade.Started());
  const auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (!Contains(ReadAll(Path("ftp3.log")), "SITE Upgrade") &&
         std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(1s);
  const auto sent = std::chrono::steady_clock::now();
  upgrade.Signal(SIGINT);
  const auto r = upgrade.Wait(30s);
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_EQ(r.err, "Interrupted: the upgrade was cancelled\n");
  // The library looks at its cancel flag once a second while it waits.
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count(), 3.0);
  EXPECT_FALSE(Contains(ReadAll(Path("ftp3.log")), "SITE stable"));
}

TEST_F(UpgradeTest, BatchRunsAtMostThreeAtOnceAndReportsEveryDevice) {
  // A spreadsheet's export: quoted fields, a device nobody answers for.
  std::string csv = "\"Name\",\"mac\"\r\n";
  for (int i = 1; i <= 8; ++i) csv += "\"panel, hall " + std::to_string(i) + "\",\"" + BatchMac(i) + "\"\r\n";
  csv += "\"gone\",\"00:50:C2:74:01:99\"\r\n";
  testsupport::WriteAll(Path("plant.csv"), csv);

  ctltest::CtlProcess batch({"upgrade", "--from", Path("plant.csv"), Path("release.pak"), "--jobs", "3"});
  ASSERT_TRUE(batch.Started());
  // Watch the batch's child processes while it runs.
  int most = 0;
  std::thread watcher([&] {
    const auto giveUp = std::chrono::steady_clock::now() + 200s;
    while (::kill(batch.Pid(), 0) == 0 && std::chrono::steady_clock::now() < giveUp) {
      most = std::max(most, ctltest::CountChildren(batch.Pid()));
      std::this_thread::sleep_for(20ms);
    }
  });
  const auto r = batch.Wait(240s);
  watcher.join();
  EXPECT_EQ(most, 3);

  EXPECT_EQ(r.exitCode, 1) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line.substr(0, 6), "DEVICE");
  EXPECT_TRUE(Contains(line, " RESULT ")) << line;
  int ok = 0, refused = 0, missing = 0;
  while (std::getline(lines, line)) {
    if (Contains(line, " ok ") && Contains(line, "Operation completed successfully")) ++ok;
    if (Contains(line, BatchMac(5)) && Contains(line, "wrong password") &&
        Contains(line, "Login incorrect."))
      ++refused;
    if (Contains(line, "00:50:C2:74:01:99") && Contains(line, "not found")) ++missing;
  }
  EXPECT_EQ(ok, 7) << r.out;
  EXPECT_EQ(refused, 1) << r.out;
  EXPECT_EQ(missing, 1) << r.out;
  for (int i = 1; i <= 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Contains(ReadAll(Path("batch" + std::to_string(i) + ".log")), "SITE stable"), i != 5);
  }
}

TEST_F(UpgradeTest, ADeviceThatGoesSilentFailsAtTheDeadline) {
  const auto r = RunCtl({"upgrade", SilentMac(1), Path("release.pak"), "--timeout", "2"}, {}, 60s);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err, "Timed out after 2 s: the upgrade was cancelled\n");
  EXPECT_EQ(r.out, "");
  // The scan's 4.4 s, the deadline, and the cancel within a second.
  EXPECT_LT(r.seconds, 4.4 + 2 + 3);
}

TEST_F(UpgradeTest, InABatchEverySilentStepTimesOutAndTheOthersGoOn) {
  const std::string list = DeviceList(
      "silent.csv", {SilentMac(1), SilentMac(2), SilentMac(3), SilentMac(4), "00:50:C2:74:00:02"});
  const auto r = RunCtl({"upgrade", "--from", list, Path("release.pak"), "--jobs", "5", "--timeout",
                         "2"},
                        {}, 90s);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  // Each stopped where its device went silent.
  EXPECT_FALSE(Contains(ReadAll(Path("silent1.log")), "USER"));
  EXPECT_TRUE(Contains(ReadAll(Path("silent2.log")), "STOR release.pak"));
  EXPECT_TRUE(Contains(ReadAll(Path("silent3.log")), "STOR release.pak"));
  EXPECT_TRUE(Contains(ReadAll(Path("silent4.log")), "SITE Upgrade"));
  const std::regex time(" ([0-9]+\\.[0-9]) s ");
  int timedOut = 0, refused = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (Contains(line, "00:50:C2:74:00:02")) {
      refused += Contains(line, "wrong password") && Contains(line, "Login incorrect.");
      continue;
    }
    if (!Contains(line, "00:50:C2:74:02:0")) continue;
    SCOPED_TRACE(line);
    EXPECT_TRUE(Contains(line, " failed ") &&
                Contains(line, "Timed out after 2 s: the upgrade was cancelled"));
    // The job's own time (it had no scan to do): the deadline and the
    // cancel within a second of it.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, time));
    const double seconds = std::stod(m[1].str());
    EXPECT_GE(seconds, 1.9);
    EXPECT_LT(seconds, 2 + 3);
    ++timedOut;
  }
  EXPECT_EQ(timedOut, 4) << r.out;
  EXPECT_EQ(refused, 1) << r.out;
}

// A batch killed with SIGKILL cannot pass a cancel on to its jobs: they
// learn of it from the system and cancel on their own.
TEST_F(UpgradeTest, KillingABatchEndsTheJobsItStarted) {
  const std::string list = DeviceList("hang.csv", {SilentMac(5), SilentMac(6)});
  ctltest::CtlProcess batch({"upgrade", "--from", list, Path("release.pak"), "--jobs", "2"});
  ASSERT_TRUE(batch.Started());
  const auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (!(Contains(ReadAll(Path("silent5.log")), "SITE Upgrade") &&
           Contains(ReadAll(Path("silent6.log")), "SITE Upgrade")) &&
         std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(50ms);
  const std::vector<pid_t> jobs = ctltest::ChildPids(batch.Pid());
  ASSERT_EQ(jobs.size(), 2u) << "both devices should be waiting for their site command's answer";

  batch.Signal(SIGKILL);
  batch.Wait(10s);
  const auto killed = std::chrono::steady_clock::now();
  auto running = [&] {
    return std::count_if(jobs.begin(), jobs.end(),
                         [](pid_t p) { return ctltest::StillRunning(p); });
  };
  while (running() > 0 && std::chrono::steady_clock::now() - killed < 5s)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(running(), 0) << "jobs outlived their batch";
  // Their cancel is Ctrl-C's, which ends a wait for an answer within a second.
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count(), 3.0);
  for (pid_t p : jobs)
    if (ctltest::StillRunning(p)) ::kill(p, SIGKILL);
}

}  // namespace
