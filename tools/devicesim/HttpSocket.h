#pragma once
// TCP plumbing shared by the simulator's HTTP, FTP and telnet sides: one
// listener on each address of a device that offers the side (so any other
// address refuses the connection, as in a real plant), connections each on
// a thread of their own (joined before the side returns), and stop-aware
// reads and writes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "net/Socket.h"
#include "tools/devicesim/Services.h"

struct SimConnection {
  net::Socket fd;        // non-blocking: every wait watches stop
  uint32_t localIp = 0;  // network byte order: which device was called
  uint32_t peerIp = 0;
  const std::atomic<bool>* stop = nullptr;
};

// Which devices offer a side.
using OffersSide = std::function<bool(const Device&)>;

// Listens on port on the address of every device `offers` picks, following
// the devices when they move, and hands every connection to `handle` on a
// new thread until ctx.stop; calls ctx.Ready() once listening (ctx.Fail
// otherwise).
int ServeTcp(ServiceContext& ctx, uint16_t port, OffersSide offers,
             std::function<void(SimConnection&)> handle);

// Waits (in slices, watching stop) until s is readable; false on stop or
// after timeoutMs.
bool WaitReadable(const net::Socket& s, const std::atomic<bool>& stop, int timeoutMs);
inline bool WaitReadable(const SimConnection& c, int timeoutMs) {
  return WaitReadable(c.fd, *c.stop, timeoutMs);
}
// One receive once s is readable: the byte count, 0 at the peer's end, -1
// on a failure, stop or time-out.
long ReceiveSome(net::Socket& s, const std::atomic<bool>& stop, char* buffer, size_t size,
                 int timeoutMs);
// One line without its CR LF; false on end, stop or time-out.
bool ReadLine(SimConnection& c, std::string& buffer, std::string& line, int timeoutMs);
bool SendAll(SimConnection& c, const char* data, size_t size);
inline bool SendAll(SimConnection& c, const std::string& s) {
  return SendAll(c, s.data(), s.size());
}
// Sleeps up to ms in slices; false when stop was set.
bool SleepWatching(const std::atomic<bool>& stop, int ms);
