#pragma once
// The simulated devices, shared by all sides of the simulator. Setting the
// network parameters moves a device while other sides read the table, so
// every access goes through the table's lock and hands out copies.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct Device {
  std::array<uint8_t, 6> mac{};
  uint16_t kind = 0;
  uint32_t ip = 0;    // network byte order
  uint32_t mask = 0;  // network byte order
  std::string password;

  // Fault switches of the UDP side.
  bool twice = false;          // every answer sent two times
  int lateMs = 0;              // answers sent this much later
  int size = -1;               // answers cut or padded to this many bytes
  uint32_t status = 0;         // discovery answers carry this status
  bool silent = false;         // never answers
  bool quietOthers = false;    // no 4998 for requests meant for others
  bool broadcast = false;      // answers go to 255.255.255.255, as from a device without an address

  std::map<std::string, std::string> extra;  // options for other sides
};

// Parses "MAC kind IP mask password [options]"; "-" stands for an empty
// password. Options: twice, late=MS, short, long, size=N, status=N,
// silent, quiet-others, broadcast, and any key=value kept in Device::extra.
std::optional<Device> ParseDeviceLine(const std::string& line, std::string* error);

// Whether a device's own IP stack would take a datagram sent to
// `destination` (network byte order): one to everybody, to its address, or
// to its subnet's broadcast address. A device without an address takes only
// the first.
bool AddressedTo(const Device& device, uint32_t destination);

// 5002 for an address no device can take, 5003 for such a mask, else 0.
int32_t CheckNetworkParameters(uint32_t ipNetOrder, uint32_t maskNetOrder);

class DeviceTable {
 public:
  void Add(const Device& device);
  std::vector<Device> Snapshot() const;
  size_t Size() const;
  std::optional<Device> FindByIp(uint32_t ipNetOrder) const;
  std::optional<Device> FindByMac(const uint8_t* mac6) const;
  // Moves device `index` (index into Snapshot order) to a new address.
  void SetAddress(size_t index, uint32_t ipNetOrder, uint32_t maskNetOrder);
  // The addresses (without 0.0.0.0) of the devices `wanted` picks.
  std::set<uint32_t> Addresses(const std::function<bool(const Device&)>& wanted) const;
  // Changes whenever a device is added or moves, so a side can tell cheaply
  // whether the addresses it serves are still the right ones.
  uint64_t Generation() const { return generation_.load(); }

 private:
  mutable std::mutex mutex_;  // guards devices_
  std::vector<Device> devices_;
  std::atomic<uint64_t> generation_{0};
};

// "00:50:C2:1A:2B:3C".
std::string MacText(const std::array<uint8_t, 6>& mac);

// Runs "ip ARGS..." inside the private network namespace only (elsewhere it
// does nothing and gives -1). Its exit status, or -1 when it could not be
// run; its standard output goes to *out when given, its errors nowhere.
int RunIp(const std::vector<std::string>& args, std::string* out = nullptr);

// Puts ipNetOrder on lo so TCP sides can be reached there (nothing for
// 0.0.0.0 and 127.0.0.0/8, which lo already answers). Only ever called
// inside the private network namespace.
void AddToLoopback(uint32_t ipNetOrder);
// Takes it away again, so that nothing here answers it any more.
void RemoveFromLoopback(uint32_t ipNetOrder);
