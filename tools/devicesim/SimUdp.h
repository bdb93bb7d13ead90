#pragma once
// The UDP socket of the devices' protocol side: bound to every address on
// the device port, non-blocking, and able to answer from the address of the
// device that answers rather than whatever the routing picks.
#include <cstddef>
#include <cstdint>

#include "tools/devicesim/HttpSocket.h"

class SimUdp {
 public:
  // Binds 0.0.0.0:port; 0 or errno.
  int Open(uint16_t port);
  // 1 ready, 0 not within ms, -errno.
  int Poll(bool forWrite, int ms) const;
  // One queued datagram: its size, or -errno (-EAGAIN when none is queued).
  long Receive(uint8_t* buf, size_t cap, uint32_t* fromNetOrder, uint16_t* fromPort);
  // 0 or errno. A source that is not one of ours falls back to the
  // routing's choice.
  int Send(uint32_t toNetOrder, uint16_t port, const uint8_t* data, size_t size,
           uint32_t sourceNetOrder);

 private:
  SimFd fd_;
};
