// One discovery pass against N simulated devices that all answer the same
// broadcast at once. Run it inside the private network:
//   scripts/netns.sh build/bin/bench_discovery [N...]
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceSocket.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"

namespace {

double CpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string why;
  if (!testsupport::InPrivateNetwork(&why)) {
    std::fprintf(stderr, "bench_discovery: run it through scripts/netns.sh (%s)\n", why.c_str());
    return 77;
  }
  std::vector<unsigned long> sizes = {256, 1024, 4096, 5000};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  }
  std::printf("%8s %8s %8s %8s %10s %12s %14s\n", "devices", "kept", "expected", "result",
              "wall ms", "cpu ms", "rcvbuf bytes");
  int failures = 0;
  for (unsigned long n : sizes) {
    testsupport::SimProcess sim({"--generate", std::to_string(n), "--only", "udp"});
    if (!sim.Ready()) {
      std::fprintf(stderr, "bench_discovery: %s\n", sim.Error().c_str());
      return 1;
    }
    CDeviceSocket device;
    auto records = std::make_unique<DeviceRecordArray>();
    int count = 0;
    const double cpu0 = CpuMs();
    const auto wall0 = std::chrono::steady_clock::now();
    const int32_t result = device.Discover(*records, count);
    const double cpu = CpuMs() - cpu0;
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();
    const unsigned long expected = n < static_cast<unsigned long>(MAX_DEVICES) ? n : MAX_DEVICES;
    if (static_cast<unsigned long>(count) != expected) ++failures;
    std::printf("%8lu %8d %8lu %8d %10.1f %12.2f %14ld\n", n, count, expected, result, wall, cpu,
                device.LastReceiveBuffer());
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}
