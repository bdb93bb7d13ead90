// The watch for a device restarting after its upgrade, against a simulated
// device that really leaves the network meanwhile: it sits in a segment of
// its own behind a link (scripts/netns-links.sh), and for its restart either
// its address leaves the segment (echo requests are dropped) or its link
// goes down (the PC loses its carrier, requests end as unreachable).
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LoadedLibrary.h"
#include "TFTPClientForm.h"
#include "TempFile.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testquillbox::LoadedLibrary;

namespace {

constexpr const char* kDevice = "10.10.0.31";

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A device of kind 3 (upgraded, then marked stable) behind the first link,
// gone for outageMs from its "SITE Upgrade" on, in the way `how` names.
struct GoneDevice {
  GoneDevice(const char* how, int outageMs)
      : sim(testsupport::SimProcess::OnLink(
            0, std::string("00:50:C2:72:00:31 3 ") + kDevice + " 255.255.255.0 admin user=admin" +
                   " restart-ms=" + std::to_string(outageMs) + " restart-offline=" + how +
                   " ftp-log=" + log.path + "\n",
            {"--only", "ftp"})) {}

  // The commands the device received, in order ("PASS ****" for a password).
  std::vector<std::string> Commands() const {
    std::ifstream in(log.path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  int Logins() const {
    const auto lines = Commands();
    return static_cast<int>(std::count(lines.begin(), lines.end(), "USER admin"));
  }
  // The moment the device was told to restart (it leaves 0.2 s later), or
  // nothing within ms.
  std::optional<Clock::time_point> WaitForRestart(int ms) const {
    const auto giveUp = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < giveUp) {
      const auto lines = Commands();
      if (std::find(lines.begin(), lines.end(), "SITE Upgrade") != lines.end()) return Clock::now();
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }

  testftp::TempFile log{""};
  testsupport::SimProcess sim;
};

struct Outcome {
  int32_t code;
  std::string text;
  bool operator==(const Outcome&) const = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) { *os << o.code << " \"" << o.text << '"'; }
};

Outcome ExportedLastError(LoadedLibrary& lib) {
  const char* text = nullptr;
  int32_t code = -1;
  lib.GetLastError(&text, &code);
  return {code, text ? text : "(null)"};
}

// A session of the library's own, with the given pauses, recording what
// each echo probe got.
struct WatchedSession {
  WatchedSession(const std::string& image, quillbox::SessionSettings settings)
      : form(kDevice, "admin", "admin", image, 3, settings) {
    form.EchoProbe.OnReply = [this](const quillbox::TReplyStatus& r) { probes.push_back(r.ReplyStatus); };
  }
  Outcome Run() {
    form.RunSession();
    const char* text = nullptr;
    int32_t code = -1;
    quillbox::GetLastErrorState(&text, &code);
    return {code, text ? text : "(null)"};
  }
  quillbox::TFTPClientForm form;
  std::vector<quillbox::TReplyStatusType> probes;  // the session thread's own
};

const Outcome kSuccess{0, "Success"};
const Outcome kCancelled{12017, ""};

class RestartWatch : public ::testing::Test {
 protected:
  void SetUp() override { QUILL_REQUIRE_LINK_TOPOLOGY(); }
  testftp::TempFile image{testftp::RandomBytes(100 * 1024, 5)};
};

}  // namespace

// The whole upgrade as the explorer runs it, with the library's real pauses:
// its echoes go unanswered for as long as the device is gone, and the login
// after the restart waits for the device to be back.
TEST_F(RestartWatch, UpgradeWaitsForADeviceWhoseLinkWentDown) {
  constexpr int kOutageMs = 20000;
  GoneDevice device("link", kOutageMs);
  ASSERT_TRUE(device.sim.Ready()) << device.sim.Error();
  LoadedLibrary lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  const auto start = Clock::now();
  EXPECT_EQ(lib.Upgrade(kDevice, "admin", "admin", image.path.c_str(), 3, nullptr), 1);
  const long long ms = MsSince(start);
  EXPECT_EQ(ExportedLastError(lib), kSuccess);
  // A session that took an echo from the device while it was gone would
  // have logged in at twelve seconds and found it restarting.
  EXPECT_GE(ms, kOutageMs);
  EXPECT_EQ(device.Logins(), 2);
  EXPECT_THAT(device.Commands(), ::testing::Contains("SITE Upgrade"));
  EXPECT_EQ(device.Commands().back(), "SITE stable");
  std::printf("device gone for %d ms, upgrade took %lld ms\n", kOutageMs, ms);
}

// The probes one by one, the fixed pauses shortened: every probe while the
// device's address is gone gets nothing, the first one after it an echo.
TEST_F(RestartWatch, EchoesGoUnansweredUntilTheDeviceIsBack) {
  constexpr int kOutageMs = 6000;
  GoneDevice device("address", kOutageMs);
  ASSERT_TRUE(device.sim.Ready()) << device.sim.Error();
  quillbox::SessionSettings settings;  // real echo time-out and limit
  settings.pollIntervalMs = 100;
  WatchedSession session(image.path, settings);
  const auto start = Clock::now();
  EXPECT_EQ(session.Run(), kSuccess);
  const long long ms = MsSince(start);
  ASSERT_FALSE(session.probes.empty());
  EXPECT_EQ(session.probes.back(), quillbox::rsEcho);
  const auto unanswered = std::count(session.probes.begin(), session.probes.end(), quillbox::rsTimeOut);
  EXPECT_EQ(unanswered + 1, static_cast<long>(session.probes.size())) << "only the last probe is answered";
  // 1.2 s of pauses, then one-second probes until the device is back.
  EXPECT_GE(unanswered, (kOutageMs - 1200) / 1000 - 1);
  EXPECT_GE(ms, kOutageMs);
  EXPECT_EQ(device.Logins(), 2);
  std::printf("device gone for %d ms: %ld probes unanswered, session took %lld ms\n", kOutageMs,
              static_cast<long>(unanswered), ms);
}

// Cancel while the library pings a device that is gone: the upgrade ends
// within a second, as cancelled, whatever probe was in flight.
TEST_F(RestartWatch, CancelDuringTheWatchEndsTheUpgradeWithinASecond) {
  GoneDevice device("address", 300000);
  ASSERT_TRUE(device.sim.Ready()) << device.sim.Error();
  LoadedLibrary lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  std::atomic<bool> returned{false};
  Clock::time_point end;
  std::thread worker([&] {
    lib.Upgrade(kDevice, "admin", "admin", image.path.c_str(), 3, nullptr);
    end = Clock::now();
    returned = true;
  });
  const auto restart = device.WaitForRestart(30000);
  if (restart) {
    // One second of reply check and eleven of restart pause lie behind the
    // session by now, and two probes at most.
    std::this_thread::sleep_until(*restart + 14s);
  }
  EXPECT_FALSE(returned) << "the upgrade ended before the cancel";
  const auto cancelled = Clock::now();
  lib.Cancel();
  worker.join();
  ASSERT_TRUE(restart) << "the device was never told to restart";
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - cancelled).count();
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(ExportedLastError(lib), kCancelled);
  EXPECT_EQ(device.Logins(), 1);
  std::printf("cancel 14 s after the restart command: upgrade ended %lld ms later\n", ms);
}

// A device that never comes back: the watch sends exactly its 121 probes,
// none answered, and the session ends as the library's "did not come back",
// the cancelled outcome. Each probe waits 50 ms instead of a second.
TEST_F(RestartWatch, DeviceThatNeverComesBackEndsAfterTheProbeLimit) {
  GoneDevice device("address", 300000);
  ASSERT_TRUE(device.sim.Ready()) << device.sim.Error();
  quillbox::SessionSettings settings;  // the real limit
  settings.pollIntervalMs = 100;
  settings.echoTimeoutMs = 50;
  WatchedSession session(image.path, settings);
  const auto start = Clock::now();
  EXPECT_EQ(session.Run(), kCancelled);
  const long long ms = MsSince(start);
  EXPECT_EQ(session.probes.size(), 121u);
  EXPECT_THAT(session.probes, ::testing::Each(quillbox::rsTimeOut));
  EXPECT_GE(ms, 1200 + 121 * 50);
  EXPECT_EQ(device.Logins(), 1);
  std::printf("121 probes of 50 ms to a device that stays gone: session took %lld ms\n", ms);
}
