// Plays one or many devices inside the project's private network namespace.
//
//   devicesim [--file PATH]... [--device "MAC kind IP mask password [opts]"]...
//             [--generate N [--generate-kind K] [--generate-password P]]
//             [--set key=value]... [--only name,name] [--no-addresses] [--verbose]
//
// Prints "ready" on stdout once every side listens; ends cleanly on SIGTERM
// or SIGINT. Refuses to start unless QUILL_NETNS=1 (set by scripts/netns.sh).
#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "tools/devicesim/Services.h"

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "stop flag is set from a signal handler");

extern "C" void OnSignal(int) { g_stop = true; }

void Usage() {
  std::fprintf(stderr,
               "usage: devicesim [--file PATH]... [--device \"MAC kind IP mask password [options]\"]...\n"
               "                 [--generate N [--generate-kind K] [--generate-password P]]\n"
               "                 [--set key=value]... [--only name,...] [--no-addresses] [--verbose]\n"
               "device options: twice late=MS short long size=N status=N silent quiet-others key=value\n");
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
    const auto device = ParseDeviceLine(line, &error);
    if (!device) {
      std::fprintf(stderr, "devicesim: %s:%d: %s\n", path.c_str(), number, error.c_str());
      return false;
    }
    table.Add(*device);
  }
  return true;
}

void Generate(DeviceTable& table, unsigned long count, uint16_t kind, const std::string& password) {
  for (unsigned long i = 0; i < count; ++i) {
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

}  // namespace

int main(int argc, char** argv) {
  const char* flag = std::getenv("QUILL_NETNS");
  if (!flag || std::strcmp(flag, "1") != 0) {
    std::fprintf(stderr,
                 "devicesim: refusing to start outside the private network namespace "
                 "(run it through scripts/netns.sh)\n");
    return 2;
  }

  DeviceTable table;
  std::map<std::string, std::string> settings;
  std::string only;
  unsigned long generate = 0;
  unsigned long generateKind = 0;
  std::string generatePassword = "admin";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--file" && hasValue) {
      if (!LoadFile(argv[++i], table)) return 1;
    } else if (a == "--device" && hasValue) {
      std::string error;
      const auto device = ParseDeviceLine(argv[++i], &error);
      if (!device) {
        std::fprintf(stderr, "devicesim: --device: %s\n", error.c_str());
        return 1;
      }
      table.Add(*device);
    } else if (a == "--generate" && hasValue) {
      generate = std::strtoul(argv[++i], nullptr, 0);
    } else if (a == "--generate-kind" && hasValue) {
      generateKind = std::strtoul(argv[++i], nullptr, 0);
    } else if (a == "--generate-password" && hasValue) {
      generatePassword = argv[++i];
    } else if (a == "--set" && hasValue) {
      const std::string kv = argv[++i];
      const size_t eq = kv.find('=');
      settings[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
    } else if (a == "--only" && hasValue) {
      only = "," + std::string(argv[++i]) + ",";
    } else if (a == "--no-addresses") {
      // Assigning a whole string, not a literal, keeps GCC 12's -O3
      // -Wrestrict false positive away.
      settings["no-addresses"] = std::string("1");
    } else if (a == "--verbose") {
      settings["verbose"] = std::string("1");
    } else {
      Usage();
      return 1;
    }
  }
  if (generate > 254 * 256 || generateKind > 0xFFFF) {  // one 127.1.x.y address each
    std::fprintf(stderr, "devicesim: --generate or --generate-kind out of range\n");
    return 1;
  }
  Generate(table, generate, static_cast<uint16_t>(generateKind), generatePassword);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The TCP sides hold a listener per device address: allow as many
  // descriptors as the system lets this process have.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  if (settings.count("no-addresses") == 0)
    for (const Device& d : table.Snapshot()) AddToLoopback(d.ip);

  std::vector<std::unique_ptr<ServiceContext>> contexts;
  std::vector<std::thread> threads;
  std::vector<std::string> names;
  for (const ServiceEntry& service : RegisteredServices()) {
    if (!only.empty() && only.find("," + service.name + ",") == std::string::npos) continue;
    contexts.push_back(std::make_unique<ServiceContext>(table, g_stop, settings));
    names.push_back(service.name);
    ServiceContext* ctx = contexts.back().get();
    ServiceMain run = service.run;
    threads.emplace_back([ctx, run] {
      const int rc = run(*ctx);
      if (rc != 0 && ctx->state != 2) ctx->Fail("ended with " + std::to_string(rc));
    });
  }

  // Every side must listen before anyone is told to go ahead.
  int exitCode = 0;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    bool allReady = true;
    for (size_t i = 0; i < contexts.size(); ++i) {
      if (contexts[i]->state == 2) {
        std::fprintf(stderr, "devicesim: %s: %s\n", names[i].c_str(), contexts[i]->failure.c_str());
        exitCode = 1;
      }
      allReady = allReady && contexts[i]->state == 1;
    }
    if (exitCode != 0 || allReady || g_stop) break;
    if (std::chrono::steady_clock::now() > giveUp) {
      std::fprintf(stderr, "devicesim: a service did not get ready in time\n");
      exitCode = 1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (exitCode == 0 && !g_stop) {
    std::fprintf(stderr, "devicesim: %zu devices\n", table.Size());
    std::printf("ready\n");
    std::fflush(stdout);
  }
  while (exitCode == 0 && !g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t i = 0; i < contexts.size(); ++i) {
      if (contexts[i]->state == 2) {
        std::fprintf(stderr, "devicesim: %s: %s\n", names[i].c_str(), contexts[i]->failure.c_str());
        exitCode = 1;
      }
    }
  }
  g_stop = true;
  for (std::thread& t : threads) t.join();
  return exitCode;
}
