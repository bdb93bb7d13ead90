#pragma once
// The one door to the operating system's socket calls, shared by the
// explorer, the upgrade library and the device simulator.
//
// A Socket owns one descriptor and closes it when it goes away, on every
// path. Every call returns 0 or the errno value of its failure and never
// throws; counts and addresses come back through out-parameters. Addresses
// are IPv4 in network byte order, ports in host order (Endpoint).
//
// Waiting is the caller's business: OpenUdp and OpenTcp make non-blocking
// sockets unless asked otherwise, and the Wait/Poll calls wait in whatever
// slices the caller chooses, so a deadline or a cancel can always end a wait.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "net/Ipv4.h"

namespace net {

enum class Blocking { No, Yes };

// The local side of a datagram: the address and interface it leaves from or
// arrived at. 0 in a field means no preference (sending) or not known.
struct LocalSide {
  uint32_t ip = 0;  // network byte order
  unsigned interfaceIndex = 0;
};

// What a receive learnt about one datagram.
struct Datagram {
  size_t size = 0;  // bytes placed in the buffer
  Endpoint from;
  LocalSide to;  // filled only once EnablePacketInfo is on
};

// One place of a ReceiveMany call: the caller's buffer, and what arrived
// in it.
struct DatagramSlot {
  void* buffer = nullptr;
  size_t capacity = 0;
  Datagram got;
  int error = 0;  // EMSGSIZE for a datagram longer than capacity (its head is kept)
};

class Socket {
 public:
  using Clock = std::chrono::steady_clock;

  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}  // takes ownership
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Close();
  // Closes with a reset instead of an orderly end.
  void Abort();

  // A second descriptor (close-on-exec) for the same socket in *out, so
  // another thread can wait and receive on it while this one stays with
  // its owner; shutting either down ends waits on both.
  int Duplicate(Socket* out) const;

  // Opens a socket (close-on-exec), replacing one that is open.
  int Open(int domain, int type, int protocol, Blocking blocking = Blocking::No);
  int OpenUdp(Blocking blocking = Blocking::No);
  int OpenTcp(Blocking blocking = Blocking::No);

  int SetOption(int level, int name, int value);
  int SetNonBlocking(bool on);
  int SetBroadcast(bool on);
  int SetReuseAddress(bool on);
  // Lets more sockets of this user bind this one's address and port and
  // share what arrives there (SO_REUSEPORT); also on a socket that is
  // bound already, so it can first take a port nobody else has.
  int SetReusePort(bool on);
  // Deals the datagrams that arrive at this socket's reuse-port group out
  // to its first `members` sockets at random. Without it the group picks by
  // a hash of the sender's address and port, which puts every datagram of
  // one sender into the same socket.
  int SpreadGroupAtRandom(unsigned members);
  // Drops every datagram sent to a broadcast or multicast address. Each
  // socket of a reuse-port group gets its own copy of those, so the
  // members that are there only for room take none of them.
  int IgnoreBroadcasts();
  // Lets a socket bind an address this host does not have (yet).
  int SetFreeBind(bool on);
  int SetNoDelay(bool on);
  // Asks for a receive buffer of `bytes`, forcing past the system's limit
  // when privileged; *granted (optional) gets what the kernel gave.
  int SetReceiveBuffer(int bytes, int* granted = nullptr);
  int ReceiveBufferSize(int* bytes) const;
  // Asks for the local side (destination address and interface) of every
  // datagram received from now on.
  int EnablePacketInfo();

  int Bind(const Endpoint& local);
  int Listen(int backlog);
  // Takes one pending connection; EAGAIN on a non-blocking listener when none
  // is pending. The new socket is blocking, as POSIX makes it.
  int Accept(Socket* out, Endpoint* peer = nullptr);
  int LocalAddress(Endpoint* out) const;
  int PeerAddress(Endpoint* out) const;
  // The bound local port; 0 when there is none.
  uint16_t LocalPort() const;

  // Starts a connect and leaves the socket non-blocking: 0 when it completed
  // at once, EINPROGRESS while it runs (wait writable, then FinishConnect).
  int StartConnect(const Endpoint& to);
  // The outcome of a connect that StartConnect left running.
  int FinishConnect();
  // A whole connect: waits for the handshake in slices of sliceMs until it
  // completes, `deadline` passes (ETIMEDOUT) or keepWaiting, asked after
  // every slice that ends without an outcome, says no (ECANCELED).
  int Connect(const Endpoint& to, Clock::time_point deadline, int sliceMs,
              const std::function<bool()>& keepWaiting = {});

  // One send or receive call on a stream (never raises SIGPIPE). A receive
  // of 0 bytes means the peer has ended the stream.
  int Send(const void* data, size_t size, size_t* sent);
  int Recv(void* buffer, size_t size, size_t* received);
  // Writes everything, waiting for room as needed (also on a non-blocking
  // socket). Ends only with the data written or a failure: Shutdown from
  // another thread is the way to end it early.
  int SendAll(const void* data, size_t size);
  // Makes calls blocked in other threads on this socket return (accept,
  // poll, send, recv) without closing the descriptor, so that its owner stays
  // the only one that releases it. Nothing to shut down counts as success.
  int Shutdown();
  // Ends only our sending direction: the peer reads to the end of the
  // stream while it can still send to us.
  int ShutdownSend();

  // Sends one datagram. A non-zero `from` asks for that source address
  // and/or outgoing interface; when the address is not one of this host's,
  // the routing's choice is taken instead.
  int SendTo(const void* data, size_t size, const Endpoint& to, const LocalSide& from = {});
  // Sends the same datagram to each of `to` in as few system calls as the
  // batches allow (sendmmsg); *sent gets how many left, in order. Stops at
  // the first failure, which it returns (EAGAIN when the socket's send
  // buffer is full: wait writable and go on from *sent).
  int SendToMany(const void* data, size_t size, const Endpoint* to, size_t count, size_t* sent);
  // Takes one datagram; EAGAIN on a non-blocking socket when none is queued.
  // A datagram longer than `capacity` is consumed and reported as EMSGSIZE,
  // with its head in buffer and *out filled: a head never passes for a whole
  // datagram unless the caller says so.
  int ReceiveFrom(void* buffer, size_t capacity, Datagram* out);
  // The same with room for the caller's own ancillary data (control may be
  // null; *controlSize is its capacity in and the length used out) and
  // recvmsg flags such as MSG_ERRQUEUE.
  int ReceiveMessage(void* buffer, size_t capacity, Datagram* out, void* control,
                     size_t* controlSize, int flags = 0);

  // Takes as many queued datagrams as there are slots in one system call
  // (recvmmsg) without waiting: *filled gets how many slots hold one (their
  // `got`, and `to` once EnablePacketInfo is on). EAGAIN when none is
  // queued; other failures as for ReceiveFrom. A datagram that did not fit
  // is marked in its slot, never mistaken for a whole one. A shut down
  // socket gives 0 with nothing filled.
  int ReceiveMany(DatagramSlot* slots, size_t count, size_t* filled);

  // Waits up to timeoutMs (0: just look, -1: no limit) for `events`;
  // *revents gets what happened, 0 when the time ran out. A closed socket
  // gives EBADF rather than a silent sleep.
  int Poll(short events, int timeoutMs, short* revents) const;
  // Errors and hang-ups count as ready: the following call reports them.
  int WaitReadable(int timeoutMs, bool* ready) const;
  int WaitWritable(int timeoutMs, bool* ready) const;

 private:
  int fd_ = -1;
};

// A connected pair of local stream sockets (AF_UNIX), close-on-exec: a
// scripted peer in the same process for code that reads a stream.
int MakeStreamPair(Socket* a, Socket* b, Blocking blocking = Blocking::Yes);

// Waits up to timeoutMs for any of `sockets` to become readable (errors and
// hang-ups count); *ready gets the indexes of those that are, in order.
int WaitAnyReadable(const std::vector<const Socket*>& sockets, int timeoutMs,
                    std::vector<size_t>* ready);

}  // namespace net
