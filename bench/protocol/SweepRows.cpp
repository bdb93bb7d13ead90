// The sweep rows of bench_discovery: a whole /16 asked address by address
// from the PC of the routed bed, where 200 devices behind the router answer
// from their own addresses in 10.30.0.0/24.
//
//   scripts/netns-links.sh --routed build/bin/bench_discovery --sweep [ROUNDS]
//
// For each rate: the requests per second the sweep achieved while sending
// (the pass's time less its 4.4 s of answers) and the answers kept, the
// median of ROUNDS rounds (default 3).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/protocol/SweepRows.h"
#include "explorer/protocol/DeviceSocket.h"
#include "support/SimProcess.h"

namespace {

constexpr int kDevices = 200;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string DeviceFile() {
  std::string text;
  for (int i = 0; i < kDevices; ++i) {
    char line[96];
    std::snprintf(line, sizeof line, "00:50:C2:78:%02X:%02X 0 10.30.0.%d 255.255.255.0 admin\n", i / 256, i % 256,
                  10 + i);
    text += line;
  }
  return text;
}

}  // namespace

int SweepRows(int rounds) {
  if (!std::getenv("QUILL_NETNS_REMOTE_SEGMENTS")) {
    std::fprintf(stderr, "bench_discovery --sweep: run it through scripts/netns-links.sh --routed\n");
    return 77;
  }
  testsupport::SimProcess sim = testsupport::SimProcess::OnRemote(0, DeviceFile(), {"--only", "udp"});
  if (!sim.Ready()) {
    std::fprintf(stderr, "bench_discovery: %s\n", sim.Error().c_str());
    return 1;
  }
  const TargetParse sweep = ParseSweep("10.30.0.0/16");
  std::printf("| %-22s | %8s | %14s | %10s | %8s |\n", "sweep", "requests", "achieved req/s", "kept", "pass s");
  std::printf("|%s|\n", std::string(76, '-').c_str());
  for (unsigned rate : {DEFAULT_SWEEP_RATE, 100000u}) {
    std::vector<double> achieved, kept, seconds;
    for (int r = 0; r < rounds; ++r) {
      CDeviceSocket device;
      device.SetTargets({sweep.target});
      device.SetBroadcastEnabled(false);
      device.SetSweepRate(rate);
      auto records = std::make_unique<DeviceRecordArray>();
      int count = 0;
      const auto t0 = std::chrono::steady_clock::now();
      device.Discover(*records, count);
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const double sending = s - CDeviceSocket::DISCOVERY_PASS_MS / 1000.0;
      const uint32_t sent = device.TargetSends().empty() ? 0 : device.TargetSends()[0].sent;
      achieved.push_back(sending > 0 ? sent / sending : 0);
      kept.push_back(count);
      seconds.push_back(s);
    }
    char label[40];
    std::snprintf(label, sizeof label, "/16 at --rate %u", rate);
    std::printf("| %-22s | %8u | %14.0f | %4.0f / %3d | %8.1f |\n", label, sweep.target.Count(), Median(achieved),
                Median(kept), kDevices, Median(seconds));
    std::fflush(stdout);
  }
  return 0;
}
