#pragma once
// The explorer's former socket interface, now a thin face over net::Socket
// for the device simulator's UDP side, which still speaks it. Everything
// else uses net/Socket.h directly; this goes once the simulator does too.
//
// Conventions of this face: 0 or errno from calls that do something, byte
// counts or -errno from ReceiveFrom, and 1 / 0 / -errno from Poll.
#include <cstddef>
#include <cstdint>

#include "net/Socket.h"

class Socket {
 public:
  int OpenUdp() { return socket_.OpenUdp(); }
  int OpenTcp() { return socket_.OpenTcp(); }
  bool IsOpen() const { return socket_.IsOpen(); }
  void Close() { socket_.Close(); }
  int Fd() const { return socket_.Fd(); }

  int Bind(uint32_t addrNetOrder, uint16_t port) { return socket_.Bind({addrNetOrder, port}); }
  int Listen(int backlog) { return socket_.Listen(backlog); }
  int SetBroadcast(bool on) { return socket_.SetBroadcast(on); }
  int SetReuseAddress(bool on) { return socket_.SetReuseAddress(on); }
  uint16_t LocalPort() const { return socket_.LocalPort(); }
  int EnablePacketInfo() { return socket_.EnablePacketInfo(); }

  int SendTo(uint32_t addrNetOrder, uint16_t port, const void* buf, size_t len,
             uint32_t sourceNetOrder = 0) {
    return socket_.SendTo(buf, len, {addrNetOrder, port}, {sourceNetOrder, 0});
  }
  long ReceiveFrom(void* buf, size_t cap, uint32_t* fromNetOrder = nullptr,
                   uint16_t* fromPort = nullptr, uint32_t* toNetOrder = nullptr) {
    net::Datagram d;
    const int err = socket_.ReceiveFrom(buf, cap, &d);
    if (fromNetOrder) *fromNetOrder = d.from.ip;
    if (fromPort) *fromPort = d.from.port;
    if (toNetOrder) *toNetOrder = d.to.ip;
    return err == 0 ? static_cast<long>(d.size) : -err;
  }

  int StartConnect(uint32_t addrNetOrder, uint16_t port) {
    return socket_.StartConnect({addrNetOrder, port});
  }
  int FinishConnect() { return socket_.FinishConnect(); }
  int Poll(bool forWrite, int ms) const {
    bool ready = false;
    const int err = forWrite ? socket_.WaitWritable(ms, &ready) : socket_.WaitReadable(ms, &ready);
    return err != 0 ? -err : (ready ? 1 : 0);
  }

 private:
  net::Socket socket_;
};
