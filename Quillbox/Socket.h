#pragma once
// The library's one wrapper around POSIX sockets. Every call returns 0 on
// success or the errno value of the failure; nothing throws. A Socket owns
// its descriptor and closes it on destruction.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillbox {

// The system's description of an error number.
std::string SystemErrorText(int err);
// "Socket Error # <n>\r\n<description>", the text of a failed socket call.
std::string SocketErrorMessage(int err);

// Dotted decimal to address (network order); false when text is not one.
bool ParseIpv4(const std::string& text, in_addr* out);
// Dotted decimal, or a host name looked up for IPv4. 0 or an errno value;
// a name that cannot be resolved gives ENXIO ("No such device or address").
int ResolveIpv4(const std::string& host, in_addr* out);
std::string FormatIpv4(in_addr addr);
sockaddr_in MakeAddress(in_addr addr, uint16_t port);

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Close();

  // Opens a socket of the given kind (close-on-exec); replaces any open one.
  int Open(int domain, int type, int protocol);
  int OpenTcp() { return Open(AF_INET, SOCK_STREAM, 0); }
  int OpenUdp() { return Open(AF_INET, SOCK_DGRAM, 0); }

  int SetOption(int level, int name, int value);
  int SetNonBlocking(bool on);
  int Bind(const sockaddr_in& addr);
  int Listen(int backlog);
  // Accepts one pending connection (the listening socket may be
  // non-blocking; then EAGAIN means none is pending).
  int Accept(Socket* out, sockaddr_in* peer = nullptr);

  // Starts a non-blocking connect; 0 when it completed at once, EINPROGRESS
  // when it is under way (wait writable, then FinishConnect).
  int StartConnect(const sockaddr_in& addr);
  // The outcome of a connect that StartConnect left in progress.
  int FinishConnect();

  // One send/recv call (no SIGPIPE). recv of 0 bytes means the peer closed.
  int Send(const void* data, size_t size, size_t* sent);
  // Writes everything, waiting for room as needed (works on non-blocking
  // sockets too).
  int SendAll(const void* data, size_t size);
  int Recv(void* buffer, size_t size, size_t* received);
  int SendTo(const void* data, size_t size, const sockaddr_in& to);
  int RecvFrom(void* buffer, size_t size, size_t* received, sockaddr_in* from);
  // recvmsg with room for ancillary data (control may be null).
  int RecvMsg(void* buffer, size_t size, size_t* received, sockaddr_in* from, void* control,
              size_t* controlSize, int flags = 0);

  // Waits up to timeoutMs (0 = just check, -1 = no limit) for events;
  // *revents gets what happened (0 when the time ran out).
  int Poll(short events, int timeoutMs, short* revents) const;
  int WaitReadable(int timeoutMs, bool* ready) const;
  int WaitWritable(int timeoutMs, bool* ready) const;

  int LocalAddress(sockaddr_in* out) const;
  int PeerAddress(sockaddr_in* out) const;

  // Makes calls blocked in other threads on this socket return (accept,
  // poll, send, recv) without closing the descriptor, so the owner thread
  // stays the only one that releases it. ENOTCONN (nothing to shut down)
  // counts as success.
  int Shutdown();

 private:
  int fd_ = -1;
};

}  // namespace quillbox
