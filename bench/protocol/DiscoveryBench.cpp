// One discovery pass against N simulated devices that all answer the same
// broadcast at once: how many answers are kept, and what the pass costs.
//
//   scripts/netns-links.sh build/bin/bench_discovery [--rounds R] [N...]   (default 1024 4096)
//   scripts/netns-links.sh --routed build/bin/bench_discovery --sweep [ROUNDS]
//
// Every size runs with all devices behind one link and split over two, and
// the pass run
//   root           forcing the large receive buffer it asks for;
//   user           as uid/gid 65534: the request is capped at this host's
//                  net.core.rmem_max;
//   user, stock    asking for only 212992 bytes (which the kernel
//                  doubles), so that one socket is granted all it asks
//                  for: what a single socket holds where rmem_max has its
//                  stock value;
//   user, default  leaving the socket's default buffer (rmem_default), one
//                  socket too;
//   stock rmem_max unprivileged
//                  as uid/gid 65534 on what a stock system allows: the
//                  program runs with the stock-limits preload
//                  (libstock_rcvbuf.so), which caps the usual request at
//                  212992 and refuses to force it, so the port is shared
//                  among several sockets. This row runs --rounds R passes
//                  (default 10): kept is their median, fewest the least,
//                  "all kept" how many kept every answer.
// "rcvbuf bytes" is what the kernel granted the pass's sockets together,
// "sockets" how many shared its port.
// The simulators run as root in the segments; an unprivileged row runs its
// pass in a child process that has given up its rights.
//
// Without the link topology (scripts/netns.sh) it runs the one-namespace
// rows of the loopback test bed instead.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
  size_t sockets = 0;
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
  row.sockets = device.LastReceiveSockets();
  row.ran = true;
  return row;
}

// Hidden argument: one pass, its Row written in binary to standard output.
constexpr const char* kOnePass = "--one-pass";

std::string StockLimitsLibrary() {
  const char* dir = std::getenv("QUILL_BIN_DIR");
  return std::string(dir ? dir : QUILL_BIN_DIR) + "/libstock_rcvbuf.so";
}

// The pass in a fresh copy of this program that runs as nobody (when this
// one is root) with the stock-limits preload, which only takes effect in a
// program started with it.
Row StockPass() {
  Row row;
  const std::string library = StockLimitsLibrary();
  if (::access(library.c_str(), R_OK) != 0) return row;
  std::error_code ec;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  if (ec) return row;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return row;
  const pid_t child = ::fork();
  if (child == 0) {
    if (::dup2(fds[1], STDOUT_FILENO) < 0) ::_exit(2);
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                             ::setresuid(65534, 65534, 65534) != 0))
      ::_exit(2);
    ::setenv("LD_PRELOAD", library.c_str(), 1);
    ::execl(self.c_str(), self.c_str(), kOnePass, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string bytes;
  char buf[256];
  for (ssize_t n; child > 0 && (n = ::read(fds[0], buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  if (child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && bytes.size() == sizeof row)
    std::memcpy(&row, bytes.data(), sizeof row);
  return row;
}

int OnePass() {
  const Row row = Pass(CDeviceSocket::DISCOVERY_RECEIVE_BUFFER);
  return ::write(STDOUT_FILENO, &row, sizeof row) == static_cast<ssize_t>(sizeof row) ? 0 : 1;
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
  if (argc == 2 && std::string(argv[1]) == kOnePass) return OnePass();
  std::string why;
  if (!testsupport::InPrivateNetwork(&why)) {
    std::fprintf(stderr, "bench_discovery: run it through scripts/netns-links.sh (%s)\n", why.c_str());
    return 77;
  }
  if (argc > 1 && std::string(argv[1]) == "--sweep") return SweepRows(argc > 2 ? std::atoi(argv[2]) : 3);
  const char* linkNames = std::getenv("QUILL_NETNS_LINKS");
  const bool topology = linkNames && std::string(linkNames).find("qlb") != std::string::npos;
  std::vector<unsigned long> sizes;
  int rounds = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--rounds" && i + 1 < argc)
      rounds = std::max(1, std::atoi(argv[++i]));
    else
      sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  }
  if (sizes.empty()) sizes = {1024, 4096};
  const bool root = ::geteuid() == 0;
  std::printf("| %7s | %5s | %27s | %5s | %6s | %8s | %8s | %6s | %8s | %7s | %12s | %7s |\n", "devices", "links", "user",
              "kept", "fewest", "expected", "all kept", "result", "wall ms", "cpu ms", "rcvbuf bytes", "sockets");
  std::printf("|%s|\n", std::string(146, '-').c_str());
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
        bool stock;  // with the stock-limits preload, over the rounds
      };
      std::vector<Way> ways = {{"user", false, CDeviceSocket::DISCOVERY_RECEIVE_BUFFER, false},
                               {"user, stock", false, kStockBuffer, false},
                               {"user, default", false, 0, false},
                               {"stock rmem_max unprivileged", false, CDeviceSocket::DISCOVERY_RECEIVE_BUFFER, true}};
      if (root) ways.insert(ways.begin(), Way{"root", true, CDeviceSocket::DISCOVERY_RECEIVE_BUFFER, false});
      const unsigned long expected = n < static_cast<unsigned long>(MAX_DEVICES) ? n : MAX_DEVICES;
      for (const Way& w : ways) {
        std::vector<Row> runs;
        for (int r = 0; r < (w.stock ? rounds : 1); ++r) {
          // Not root: this process is the unprivileged user already.
          if (w.stock)
            runs.push_back(StockPass());
          else
            runs.push_back(w.privileged || !root ? Pass(w.bufferRequest) : UnprivilegedPass(w.bufferRequest));
        }
        const bool measured = std::all_of(runs.begin(), runs.end(), [](const Row& x) { return x.ran; });
        const long allKept = std::count_if(runs.begin(), runs.end(), [&](const Row& x) {
          return x.ran && static_cast<unsigned long>(x.kept) == expected;
        });
        // The median run by answers kept (the lower middle one of an even
        // count); its other figures are that run's.
        std::sort(runs.begin(), runs.end(), [](const Row& x, const Row& y) { return x.kept < y.kept; });
        const Row& row = runs[(runs.size() - 1) / 2];
        ++rows;
        if (!measured)
          ++unmeasured;
        else if (static_cast<size_t>(allKept) != runs.size())
          ++missed;
        const std::string all = std::to_string(allKept) + "/" + std::to_string(runs.size());
        std::printf("| %7lu | %5d | %27s | %5d | %6d | %8lu | %8s | %6d | %8.1f | %7.1f | %12ld | %7zu |\n", n, links,
                    w.name, row.kept, runs.front().kept, expected, all.c_str(), row.result, row.wallMs, row.cpuMs, row.receiveBuffer,
                    row.sockets);
        std::fflush(stdout);
      }
    }
  }
  std::printf("%d of %d rows kept every answer; %d lost some; %d could not be measured\n", rows - missed - unmeasured,
              rows, missed, unmeasured);
  return unmeasured == 0 ? 0 : 1;
}
