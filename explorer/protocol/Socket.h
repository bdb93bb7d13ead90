#pragma once
// The program's only door to the socket calls of the operating system.
// A Socket owns one descriptor and closes it when it goes away, on every
// path. Calls never block: waiting is the caller's business (poll slices),
// so a deadline or a Cancel click can always end it. Failures come back as
// the platform's error number (errno), never as exceptions.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Opens a non-blocking socket; 0 or errno.
  int OpenUdp();
  int OpenTcp();
  bool IsOpen() const { return fd_ >= 0; }
  void Close();
  int Fd() const { return fd_; }

  // Addresses in network byte order, ports in host order. 0 or errno.
  int Bind(uint32_t addrNetOrder, uint16_t port);
  int Listen(int backlog);
  int SetBroadcast(bool on);
  int SetReuseAddress(bool on);
  // Asks for a receive buffer of `bytes` (forcing past the system limit when
  // privileged) and returns what the kernel actually granted, or -errno.
  long SetReceiveBuffer(int bytes);
  long ReceiveBufferSize() const;
  uint16_t LocalPort() const;

  // Sends one datagram; 0 or errno. A non-zero `sourceNetOrder` asks for
  // that local address as the sender (falls back to the routing choice
  // when the address is not ours).
  int SendTo(uint32_t addrNetOrder, uint16_t port, const void* buf, size_t len,
             uint32_t sourceNetOrder = 0);

  // Takes one datagram if one is queued. Returns the byte count, or -errno
  // (-EAGAIN when nothing is queued). A datagram longer than `cap` is
  // consumed and reported as -EMSGSIZE rather than silently cut short.
  // `fromNetOrder` / `toNetOrder` (optional) receive the sender and the
  // local destination address.
  long ReceiveFrom(void* buf, size_t cap, uint32_t* fromNetOrder = nullptr,
                   uint16_t* fromPort = nullptr, uint32_t* toNetOrder = nullptr);
  // Asks for the local destination address of every received datagram.
  int EnablePacketInfo();

  // Starts a connect: 0 when already connected, EINPROGRESS while it runs,
  // or errno. FinishConnect reads the outcome once the socket is writable.
  int StartConnect(uint32_t addrNetOrder, uint16_t port);
  int FinishConnect();

  // Waits at most `ms` for the socket to become readable (or writable when
  // `forWrite`). 1 ready, 0 not yet, -errno on failure.
  int Poll(bool forWrite, int ms) const;

 private:
  int Open(int type);
  int fd_ = -1;
};
