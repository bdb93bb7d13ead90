#pragma once
// Shared ground of the transport tests: real peers (the device simulator,
// loopback listeners, the namespace's silent sink 10.200.0.0/24).
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <string>

#include "support/NetGuard.h"
#include "support/SimProcess.h"
#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/DeviceSocket.h"
#include "net/Socket.h"

using testsupport::SimProcess;
using Clock = std::chrono::steady_clock;

namespace transporttest {

inline uint32_t Ip(const char* text) { return inet_addr(text); }

inline long Ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

inline int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

inline std::array<uint8_t, 6> Mac(const char* text) {
  unsigned v[6];
  sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
  return {uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3]), uint8_t(v[4]), uint8_t(v[5])};
}

inline SetNetworkRequest Request(const char* mac, const char* ip, const char* mask, const char* password) {
  SetNetworkRequest r;
  r.mac = Mac(mac);
  r.ip = Ip(ip);
  r.mask = Ip(mask);
  r.password = password;
  return r;
}

// Every exchange must leave no descriptor behind, whatever its outcome.
class Transport : public ::testing::Test {
 protected:
  void SetUp() override { before_ = OpenDescriptors(); }
  void TearDown() override { EXPECT_EQ(OpenDescriptors(), before_) << "a socket was left open"; }

  // Cancels from inside the pump hook once `afterMs` have passed, as a
  // Cancel click handled during the wait would.
  void CancelAfter(long afterMs) {
    const auto start = Clock::now();
    device_.SetPumpHook([this, start, afterMs] {
      ++pumps_;
      if (Ms(start) >= afterMs) device_.CancelRequest();
    });
  }

  CDeviceSocket device_;
  DeviceRecordArray records_;
  int count_ = -1;
  int pumps_ = 0;

 private:
  int before_ = 0;
};

// Only the UDP side of the simulator is needed here.
inline SimProcess UdpDevices(const std::string& deviceFileText) {
  return SimProcess::WithDevices(deviceFileText, {"--only", "udp"});
}

inline const char* kA = "00:50:C2:00:00:0A";
inline const char* kB = "00:50:C2:00:00:0B";
inline const char* kC = "00:50:C2:00:00:0C";

}  // namespace transporttest

using namespace transporttest;
