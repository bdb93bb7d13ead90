// Plays one or many devices inside the project's private network namespace.
//
//   devicesim [--file PATH]... [--device "MAC kind IP mask password [opts]"]...
//             [--generate N [--generate-from I] [--generate-kind K] [--generate-password P]]
//             [--set key=value]... [--only name,name] [--no-addresses] [--addressed-only]
//             [--verbose]
//
// --addressed-only: a device answers only requests sent to everybody, to its
// address or to its subnet's broadcast address, as devices behind a router
// do; without it every device answers whatever reaches the port.
//
// Prints "ready" on stdout once every side listens; ends cleanly on SIGTERM
// or SIGINT, and when the process that started it ends. Refuses to start
// outside the project's own network namespaces (PrivateNetwork.h).
#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/devicesim/PrivateNetwork.h"
#include "tools/devicesim/Services.h"

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "stop flag is set from a signal handler");

extern "C" void OnSignal(int) { g_stop = true; }

void Usage() {
  std::fprintf(stderr,
               "usage: devicesim [--file PATH]... [--device \"MAC kind IP mask password [options]\"]...\n"
               "                 [--generate N [--generate-from I] [--generate-kind K] [--generate-password P]]\n"
               "                 [--set key=value]... [--only name,...] [--no-addresses] [--addressed-only]\n"
               "                 [--verbose]\n"
               "device options: twice late=MS short long size=N status=N silent quiet-others broadcast key=value\n");
}

bool LoadFile(const std::string& path, DeviceTable& table) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "devicesim: cannot read %s\n", path.c_str());
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string error;
    auto device = ParseDeviceLine(line, &error);
    if (!device) {
      std::fprintf(stderr, "devicesim: %s:%d: %s\n", path.c_str(), number, error.c_str());
      return false;
    }
    // A file ships with its configurations beside it, wherever it is run from.
    auto config = device->extra.find("config");
    if (config != device->extra.end() && !config->second.empty() && config->second[0] != '/') {
      const size_t slash = path.find_last_of('/');
      if (slash != std::string::npos) config->second = path.substr(0, slash + 1) + config->second;
    }
    table.Add(*device);
  }
  return true;
}

void Generate(DeviceTable& table, unsigned long first, unsigned long count, uint16_t kind,
              const std::string& password) {
  for (unsigned long i = first; i < first + count; ++i) {
    Device d;
    d.mac = {0x02, 0x51, 0x00, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
             static_cast<uint8_t>(i)};
    d.kind = kind;
    // 127.1.0.1 onwards, skipping .0 and .255 of every block.
    d.ip = htonl(0x7F010000u | static_cast<uint32_t>(i / 254) << 8 | static_cast<uint32_t>(i % 254 + 1));
    d.mask = htonl(0xFF000000u);
    d.password = password;
    table.Add(d);
  }
}

// What the command line asks for.
struct Options {
  std::map<std::string, std::string> settings;
  std::string only;  // ",name,name," or empty for every service
  unsigned long generate = 0;
  unsigned long generateFrom = 0;  // index of the first generated device
  unsigned long generateKind = 0;
  std::string generatePassword = "admin";
};

bool InsidePrivateNetwork() {
  std::string why;
  if (privatenet::InPrivateNetwork(&why)) return true;
  std::fprintf(stderr,
               "devicesim: refusing to start outside the private network namespace: %s "
               "(run it through scripts/netns.sh or scripts/netns-links.sh)\n",
               why.c_str());
  return false;
}

// A test that aborts must not leave the simulator behind, holding the
// test's pipe for minutes: the simulator ends with its parent.
bool EndWithParent() {
  const pid_t parent = ::getppid();
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
    std::perror("devicesim: prctl");
    return false;
  }
  // A parent that died before the call above sends no signal any more.
  return ::getppid() == parent;
}

bool AddDevice(const char* line, DeviceTable& table) {
  std::string error;
  const auto device = ParseDeviceLine(line, &error);
  if (!device) {
    std::fprintf(stderr, "devicesim: --device: %s\n", error.c_str());
    return false;
  }
  table.Add(*device);
  return true;
}

// Devices from --file and --device go into table; false after a usage or
// device error (already reported).
bool ParseArguments(int argc, char** argv, DeviceTable& table, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--file" && hasValue) {
      if (!LoadFile(argv[++i], table)) return false;
    } else if (a == "--device" && hasValue) {
      if (!AddDevice(argv[++i], table)) return false;
    } else if (a == "--generate" && hasValue) {
      o.generate = std::strtoul(argv[++i], nullptr, 0);
    } else if (a == "--generate-from" && hasValue) {
      o.generateFrom = std::strtoul(argv[++i], nullptr, 0);
    } else if (a == "--generate-kind" && hasValue) {
      o.generateKind = std::strtoul(argv[++i], nullptr, 0);
    } else if (a == "--generate-password" && hasValue) {
      o.generatePassword = argv[++i];
    } else if (a == "--set" && hasValue) {
      const std::string kv = argv[++i];
      const size_t eq = kv.find('=');
      o.settings[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
    } else if (a == "--only" && hasValue) {
      o.only = "," + std::string(argv[++i]) + ",";
    } else if (a == "--no-addresses") {
      // Assigning a whole string, not a literal, keeps GCC 12's -O3
      // -Wrestrict false positive away.
      o.settings["no-addresses"] = std::string("1");
    } else if (a == "--addressed-only") {
      o.settings["addressed-only"] = std::string("1");
    } else if (a == "--verbose") {
      o.settings["verbose"] = std::string("1");
    } else {
      Usage();
      return false;
    }
  }
  // One 127.1.x.y address each.
  if (o.generate > 254 * 256 || o.generateFrom > 254 * 256 || o.generate + o.generateFrom > 254 * 256 ||
      o.generateKind > 0xFFFF) {
    std::fprintf(stderr, "devicesim: --generate, --generate-from or --generate-kind out of range\n");
    return false;
  }
  Generate(table, o.generateFrom, o.generate, static_cast<uint16_t>(o.generateKind), o.generatePassword);
  return true;
}

void HandleSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// The TCP sides hold a listener per device address: allow as many
// descriptors as the system lets this process have.
void RaiseFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

// The registered services that run, each on a thread of its own.
class RunningServices {
 public:
  RunningServices(DeviceTable& table, const Options& o) {
    for (const ServiceEntry& service : RegisteredServices()) {
      if (!o.only.empty() && o.only.find("," + service.name + ",") == std::string::npos) continue;
      contexts_.push_back(std::make_unique<ServiceContext>(table, g_stop, o.settings));
      names_.push_back(service.name);
      ServiceContext* ctx = contexts_.back().get();
      ServiceMain run = service.run;
      threads_.emplace_back([ctx, run] {
        const int rc = run(*ctx);
        if (rc != 0 && ctx->state != ServiceState::Failed) ctx->Fail("ended with " + std::to_string(rc));
      });
    }
  }
  ~RunningServices() {
    g_stop = true;
    for (std::thread& t : threads_) t.join();
  }
  RunningServices(const RunningServices&) = delete;
  RunningServices& operator=(const RunningServices&) = delete;

  // Reports every failed service; true when there was one.
  bool ReportFailures() const {
    bool failed = false;
    for (size_t i = 0; i < contexts_.size(); ++i) {
      if (contexts_[i]->state != ServiceState::Failed) continue;
      std::fprintf(stderr, "devicesim: %s: %s\n", names_[i].c_str(), contexts_[i]->failure.c_str());
      failed = true;
    }
    return failed;
  }

  bool AllReady() const {
    for (const auto& ctx : contexts_)
      if (ctx->state != ServiceState::Ready) return false;
    return true;
  }

 private:
  std::vector<std::unique_ptr<ServiceContext>> contexts_;
  std::vector<std::string> names_;
  std::vector<std::thread> threads_;
};

// Every side must listen before anyone is told to go ahead: 0 once all
// are ready (or a stop was asked for), 1 after a failure or 10 s.
int WaitUntilReady(const RunningServices& services) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    if (services.ReportFailures()) return 1;
    if (services.AllReady() || g_stop) return 0;
    if (std::chrono::steady_clock::now() > giveUp) {
      std::fprintf(stderr, "devicesim: a service did not get ready in time\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void AnnounceReady(const DeviceTable& table) {
  std::fprintf(stderr, "devicesim: %zu devices\n", table.Size());
  std::printf("ready\n");
  std::fflush(stdout);
}

// Until SIGTERM/SIGINT (0) or a failing service (1).
int ServeUntilStopped(const RunningServices& services) {
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (services.ReportFailures()) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!InsidePrivateNetwork()) return 2;
  if (!EndWithParent()) return 1;
  DeviceTable table;
  Options options;
  if (!ParseArguments(argc, argv, table, options)) return 1;
  HandleSignals();
  RaiseFileLimit();
  if (options.settings.count("no-addresses") == 0)
    for (const Device& d : table.Snapshot()) AddToLoopback(d.ip);

  RunningServices services(table, options);
  int exitCode = WaitUntilReady(services);
  if (exitCode != 0 || g_stop) return exitCode;
  AnnounceReady(table);
  return ServeUntilStopped(services);
}
