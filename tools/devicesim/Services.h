#pragma once
// The simulator's sides (UDP device protocol, HTTP, FTP, telnet)
// are services that register themselves; main starts every registered one
// on a thread of its own, waits until all are ready, prints "ready" and
// joins them all after SIGTERM/SIGINT.
//
// Adding a side: put it in a new file of this folder (it is globbed) with
//
//   static int RunUdp(ServiceContext& ctx) {
//     ... bind 0.0.0.0:8375 ...          // or ctx.Fail("why") and return 1
//     ctx.Ready();
//     while (!ctx.stop) { ... poll in slices of at most 100 ms ... }
//     return 0;
//   }
//   static ServiceRegistration udpService("udp", RunUdp);
//
// or, for a TCP side, ServeTcp (HttpSocket.h), which does all of that.
//
// Rules for a service:
// - Call ctx.Ready() once it listens, or ctx.Fail(text) and return; main
//   waits at most a few seconds for all of them.
// - Watch ctx.stop at least every 100 ms and return when it is set; join
//   every thread you start before returning.
// - A TCP side listens only on the addresses of the devices that offer it
//   (ServeTcp follows them as they move), so every other address refuses
//   the connection as in a real plant. Find the device a connection is
//   meant for by the connection's local address with DeviceTable::FindByIp;
//   a device moves when its network parameters are set, so look it up per
//   connection and never keep a copy.
// - Device addresses outside 127.0.0.0/8 are added to lo by main at start
//   (and by the UDP side after a device moves), inside the private network
//   namespace only, so TCP connects to them reach these listeners.
// - Per-device settings: unknown "key=value" options of a device line land
//   in Device::extra; process-wide ones come from "--set key=value" in
//   ctx.settings.
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/devicesim/DeviceTable.h"

enum class ServiceState { Starting, Ready, Failed };

struct ServiceContext {
  ServiceContext(DeviceTable& table, const std::atomic<bool>& stopFlag,
                 const std::map<std::string, std::string>& options)
      : devices(table), stop(stopFlag), settings(options) {}

  DeviceTable& devices;
  const std::atomic<bool>& stop;
  const std::map<std::string, std::string>& settings;

  void Ready();
  void Fail(const std::string& why);
  // The decimal process-wide setting key, or fallback when it is not set.
  long SettingNumber(const std::string& key, long fallback) const;

  // Read by main.
  std::atomic<ServiceState> state{ServiceState::Starting};
  std::string failure;  // written before state becomes Failed
};

using ServiceMain = std::function<int(ServiceContext&)>;

struct ServiceEntry {
  std::string name;
  ServiceMain run;
};

struct ServiceRegistration {
  ServiceRegistration(const char* name, ServiceMain run);
};

// Every registered service, in registration order.
std::vector<ServiceEntry>& RegisteredServices();
