// One discovery pass against N simulated devices that all answer the same
// broadcast at once: how many answers are kept, and what the pass costs.
//
//   scripts/netns-links.sh build/bin/bench_discovery [N...]   (default 1024 4096)
//   scripts/netns-links.sh --routed build/bin/bench_discovery --sweep [ROUNDS]
//
// Every size runs with all devices behind one link and split over two, and
// the pass run
//   root           forcing the large receive buffer it asks for;
//   user           as uid/gid 65534: the request is capped at this host's
//                  net.core.rmem_max;
//   user, stock    asking for 212992 bytes, which the kernel doubles: what
//                  the request comes to where rmem_max has its stock value;
//   user, default  leaving the socket's default buffer (rmem_default).
// The simulators run as root in the segments; an unprivileged row runs its
// pass in a child process that has given up its rights.
//
// Without the link topology (scripts/netns.sh) it runs the one-namespace
// rows of the loopback test bed instead.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/protocol/SweepRows.h"
#include "explorer/protocol/DeviceSocket.h"
#include "support/AsNobody.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"

namespace {

using testsupport::SimProcess;

double CpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Row {
  int kept = 0;
  int32_t result = 0;
  double wallMs = 0;
  double cpuMs = 0;
  long receiveBuffer = 0;
  bool ran = false;
};

// The stock net.core.rmem_max (and rmem_default) of a Linux system.
constexpr int kStockBuffer = 212992;

Row Pass(int bufferRequest) {
  CDeviceSocket device;
  device.SetReceiveBufferRequest(bufferRequest);
  auto records = std::make_unique<DeviceRecordArray>();
  Row row;
  const double cpu0 = CpuMs();
  const auto wall0 = std::chrono::steady_clock::now();
  row.result = device.Discover(*records, row.kept);
  row.cpuMs = CpuMs() - cpu0;
  row.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();
  row.receiveBuffer = device.LastReceiveBuffer();
  row.ran = true;
  return row;
}

// The pass in a child that runs as nobody, without groups or capabilities.
Row UnprivilegedPass(int bufferRequest) {
  const std::string bytes = testsupport::RunAsNobody([bufferRequest] {
    const Row row = Pass(bufferRequest);
    return std::string(reinterpret_cast<const char*>(&row), sizeof row);
  });
  Row row;
  if (bytes.size() == sizeof row) std::memcpy(&row, bytes.data(), sizeof row);
  return row;
}

// The simulated devices stand for other machines: they must not take this
// computer's CPU away from the explorer. Every thread of a simulator gets
// the lowest priority, so it runs only where the explorer does not (unless
// QUILL_SIMS_SHARE_CPU is set, to see what a loaded machine costs).
void Yielding(const SimProcess& sim) {
  if (std::getenv("QUILL_SIMS_SHARE_CPU")) return;
  const std::string tasks = "/proc/" + std::to_string(sim.Pid()) + "/task";
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec))
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(std::stoul(task.path().filename().string())), 19);
}

// Simulators for n devices: all behind link 0, or half behind each link;
// without the topology, one in this namespace.
std::vector<SimProcess> Devices(unsigned long n, int links, bool topology) {
  std::vector<SimProcess> sims;
  const auto args = [](unsigned long from, unsigned long count) {
    return std::vector<std::string>{"--generate", std::to_string(count), "--generate-from",
                                    std::to_string(from), "--only", "udp"};
  };
  if (!topology) {
    sims.emplace_back(args(0, n));
  } else if (links == 1) {
    sims.push_back(SimProcess::OnLink(0, "", args(0, n)));
  } else {
    sims.push_back(SimProcess::OnLink(0, "", args(0, n / 2)));
    sims.push_back(SimProcess::OnLink(1, "", args(n / 2, n - n / 2)));
  }
  return sims;
}

}  // namespace

int main(int argc, char** argv) {
  std::string why;
  if (!testsupport::InPrivateNetwork(&why)) {
    std::fprintf(stderr, "bench_discovery: run it through scripts/netns-links.sh (%s)\n", why.c_str());
    return 77;
  }
  if (argc > 1 && std::string(argv[1]) == "--sweep") return SweepRows(argc > 2 ? std::atoi(argv[2]) : 3);
  const char* linkNames = std::getenv("QUILL_NETNS_LINKS");
  const bool topology = linkNames && std::string(linkNames).find("qlb") != std::string::npos;
  std::vector<unsigned long> sizes = {1024, 4096};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  }
  const bool root = ::geteuid() == 0;
  std::printf("| %7s | %5s | %13s | %5s | %8s | %6s | %8s | %7s | %12s |\n", "devices", "links", "user", "kept",
              "expected", "result", "wall ms", "cpu ms", "rcvbuf bytes");
  std::printf("|%s|\n", std::string(100, '-').c_str());
  // A row that kept fewer answers than it should is a figure of the table;
  // only a row that could not be measured makes the run fail.
  int unmeasured = 0, missed = 0, rows = 0;
  for (unsigned long n : sizes) {
    for (int links : topology ? std::vector<int>{1, 2} : std::vector<int>{1}) {
      std::vector<SimProcess> sims = Devices(n, links, topology);
      for (const SimProcess& sim : sims) {
        if (!sim.Ready()) {
          std::fprintf(stderr, "bench_discovery: %s\n", sim.Error().c_str());
          return 1;
        }
        Yielding(sim);
      }
      struct Way {
        const char* name;
        bool privileged;
        int bufferRequest;
      };
      std::vector<Way> ways = {{"user", false, CDeviceSocket::DISCOVERY_RECEIVE_BUFFER},
                               {"user, stock", false, kStockBuffer},
                               {"user, default", false, 0}};
      if (root) ways.insert(ways.begin(), Way{"root", true, CDeviceSocket::DISCOVERY_RECEIVE_BUFFER});
      for (const Way& w : ways) {
        // Not root: this process is the unprivileged user already.
        const Row row = w.privileged || !root ? Pass(w.bufferRequest) : UnprivilegedPass(w.bufferRequest);
        const unsigned long expected = n < static_cast<unsigned long>(MAX_DEVICES) ? n : MAX_DEVICES;
        ++rows;
        if (!row.ran)
          ++unmeasured;
        else if (static_cast<unsigned long>(row.kept) != expected)
          ++missed;
        std::printf("| %7lu | %5d | %13s | %5d | %8lu | %6d | %8.1f | %7.1f | %12ld |\n", n, links, w.name,
                    row.kept, expected, row.result, row.wallMs, row.cpuMs, row.receiveBuffer);
        std::fflush(stdout);
      }
    }
  }
  std::printf("%d of %d rows kept every answer; %d lost some; %d could not be measured\n", rows - missed - unmeasured,
              rows, missed, unmeasured);
  return unmeasured == 0 ? 0 : 1;
}
