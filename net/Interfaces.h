#pragma once
// The host's IPv4 network interfaces, read afresh on every call (cables
// and adapters come and go while the program runs).
#include <cstdint>
#include <string>
#include <vector>

namespace net {

struct Interface {
  unsigned index = 0;
  std::string name;
  uint32_t address = 0;  // the first IPv4 address, network byte order
  uint32_t mask = 0;     // that address's network mask, network byte order
  bool up = false;        // administratively up
  bool running = false;   // has a carrier: frames can leave
  bool broadcast = false;
  bool loopback = false;

  // Where a limited broadcast can go out: up, with a carrier, a broadcast
  // medium and an address of its own.
  bool CarriesBroadcast() const { return up && running && broadcast && !loopback && address != 0; }
};

// Every interface that has an IPv4 address, each once (the first address
// stands for an interface with several), in the system's order. 0 or the
// errno value of the failure.
int ListIpv4Interfaces(std::vector<Interface>* out);
// Every interface, also those without an IPv4 address (address and mask 0
// then), each once, in the system's order: what a report of the adapters
// names, down and unaddressed ones included.
int ListInterfaces(std::vector<Interface>* out);

// The index of the interface called `name`, 0 when there is none.
unsigned InterfaceIndex(const std::string& name);
// The name of interface `index`, empty when there is none.
std::string InterfaceName(unsigned index);

}  // namespace net
