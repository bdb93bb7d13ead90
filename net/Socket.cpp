#include "net/Socket.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace net {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
}

// poll() that goes on after a signal with what is left of the time.
int PollFor(pollfd* fds, size_t count, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    const int rc = ::poll(fds, count, timeoutMs);
    if (rc >= 0 || errno != EINTR) return rc;
    if (timeoutMs > 0) timeoutMs = MillisecondsUntil(end);
  }
}

// The IP_PKTINFO ancillary data of a received message, if it carries one.
void ReadPacketInfo(msghdr* msg, LocalSide* to) {
  for (cmsghdr* c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      to->ip = info.ipi_addr.s_addr;
      to->interfaceIndex = static_cast<unsigned>(info.ipi_ifindex);
    }
  }
}

}  // namespace

Socket::Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Socket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void Socket::Abort() {
  if (fd_ < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  Close();
}

int Socket::Duplicate(Socket* out) const {
  if (fd_ < 0) return EBADF;
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return errno;
  *out = Socket(fd);
  return 0;
}

int Socket::Open(int domain, int type, int protocol, Blocking blocking) {
  Close();
  if (blocking == Blocking::No) type |= SOCK_NONBLOCK;
  const int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return errno;
  fd_ = fd;
  return 0;
}

int Socket::OpenUdp(Blocking blocking) { return Open(AF_INET, SOCK_DGRAM, 0, blocking); }
int Socket::OpenTcp(Blocking blocking) { return Open(AF_INET, SOCK_STREAM, 0, blocking); }

int Socket::SetOption(int level, int name, int value) {
  return ::setsockopt(fd_, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

int Socket::SetNonBlocking(bool on) {
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0) return errno;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd_, F_SETFL, flags) == 0 ? 0 : errno;
}

int Socket::SetBroadcast(bool on) { return SetOption(SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }
int Socket::SetReuseAddress(bool on) { return SetOption(SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
int Socket::SetReusePort(bool on) { return SetOption(SOL_SOCKET, SO_REUSEPORT, on ? 1 : 0); }

int Socket::SpreadGroupAtRandom(unsigned members) {
  if (members == 0) return EINVAL;
  // A classic filter needs no privilege: A = random; A %= members; return A,
  // the index of the member that gets the datagram.
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_RANDOM)),
      BPF_STMT(BPF_ALU | BPF_MOD | BPF_K, members),
      BPF_STMT(BPF_RET | BPF_A, 0),
  };
  const sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return ::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &filter, sizeof filter) == 0 ? 0 : errno;
}

int Socket::IgnoreBroadcasts() {
  // Offsets: the IPv4 destination address is bytes 16..19 of the network
  // header. A broadcast through a link is marked by its link-layer type; a
  // limited broadcast that never left this host is known by its address.
  constexpr uint32_t kNetDestination = static_cast<uint32_t>(SKF_NET_OFF + 16);
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_BROADCAST, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_MULTICAST, 3, 0),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kNetDestination),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xFFFFFFFFu, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),  // keep all of it
      BPF_STMT(BPF_RET | BPF_K, 0),            // drop
  };
  const sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return ::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0 ? 0 : errno;
}

int Socket::SetFreeBind(bool on) { return SetOption(IPPROTO_IP, IP_FREEBIND, on ? 1 : 0); }
int Socket::SetNoDelay(bool on) { return SetOption(IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
int Socket::EnablePacketInfo() { return SetOption(IPPROTO_IP, IP_PKTINFO, 1); }

int Socket::SetReceiveBuffer(int bytes, int* granted) {
  // The forcing variant passes the system's rmem_max when we hold the
  // privilege; otherwise the ordinary request is capped there.
  if (SetOption(SOL_SOCKET, SO_RCVBUFFORCE, bytes) != 0) {
    if (int err = SetOption(SOL_SOCKET, SO_RCVBUF, bytes)) return err;
  }
  return granted ? ReceiveBufferSize(granted) : 0;
}

int Socket::ReceiveBufferSize(int* bytes) const {
  socklen_t len = sizeof *bytes;
  return ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, bytes, &len) == 0 ? 0 : errno;
}

int Socket::Bind(const Endpoint& local) {
  const sockaddr_in sa = ToSockaddr(local);
  return ::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
}

int Socket::Listen(int backlog) { return ::listen(fd_, backlog) == 0 ? 0 : errno; }

int Socket::Accept(Socket* out, Endpoint* peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd;
  do {
    fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  *out = Socket(fd);
  if (peer) *peer = FromSockaddr(sa);
  return 0;
}

int Socket::LocalAddress(Endpoint* out) const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return errno;
  *out = FromSockaddr(sa);
  return 0;
}

int Socket::PeerAddress(Endpoint* out) const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return errno;
  *out = FromSockaddr(sa);
  return 0;
}

uint16_t Socket::LocalPort() const {
  Endpoint local;
  return LocalAddress(&local) == 0 ? local.port : 0;
}

int Socket::StartConnect(const Endpoint& to) {
  if (int err = SetNonBlocking(true)) return err;
  const sockaddr_in sa = ToSockaddr(to);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return 0;
  // An interrupted connect goes on in the background, too.
  return errno == EINTR || errno == EALREADY ? EINPROGRESS : errno;
}

int Socket::FinishConnect() {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

int Socket::Connect(const Endpoint& to, Clock::time_point deadline, int sliceMs,
                    const std::function<bool()>& keepWaiting) {
  int err = StartConnect(to);
  if (err != EINPROGRESS) return err;
  for (;;) {
    const int left = MillisecondsUntil(deadline);
    if (left <= 0) return ETIMEDOUT;
    bool ready = false;
    if (int perr = WaitWritable(std::min(left, std::max(sliceMs, 1)), &ready)) return perr;
    if (ready) return FinishConnect();
    if (keepWaiting && !keepWaiting()) return ECANCELED;
  }
}

int Socket::Send(const void* data, size_t size, size_t* sent) {
  ssize_t n;
  do {
    n = ::send(fd_, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *sent = 0;
    return errno;
  }
  *sent = static_cast<size_t>(n);
  return 0;
}

int Socket::Recv(void* buffer, size_t size, size_t* received) {
  ssize_t n;
  do {
    n = ::recv(fd_, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *received = 0;
    return errno;
  }
  *received = static_cast<size_t>(n);
  return 0;
}

int Socket::SendAll(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    size_t sent = 0;
    const int err = Send(p, size, &sent);
    if (err == EAGAIN || err == EWOULDBLOCK) {
      short revents = 0;
      if (int perr = Poll(POLLOUT, -1, &revents)) return perr;
      continue;
    }
    if (err) return err;
    p += sent;
    size -= sent;
  }
  return 0;
}

int Socket::Shutdown() {
  if (fd_ < 0) return 0;
  if (::shutdown(fd_, SHUT_RDWR) == 0 || errno == ENOTCONN) return 0;
  return errno;
}

int Socket::ShutdownSend() {
  if (fd_ < 0) return 0;
  if (::shutdown(fd_, SHUT_WR) == 0 || errno == ENOTCONN) return 0;
  return errno;
}

int Socket::SendTo(const void* data, size_t size, const Endpoint& to, const LocalSide& from) {
  sockaddr_in sa = ToSockaddr(to);
  iovec iov{const_cast<void*>(data), size};
  msghdr msg{};
  msg.msg_name = &sa;
  msg.msg_namelen = sizeof sa;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  const auto ask = [&](uint32_t ip, unsigned interfaceIndex) {
    if (ip == 0 && interfaceIndex == 0) {
      msg.msg_control = nullptr;
      msg.msg_controllen = 0;
      return;
    }
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(interfaceIndex);
    info.ipi_spec_dst.s_addr = ip;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  };
  ask(from.ip, from.interfaceIndex);
  bool addressDropped = false;
  for (;;) {
    ssize_t n;
    do {
      n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return 0;
    // A source that is not one of ours (EINVAL for a broadcast or multicast
    // address, ENETUNREACH for a foreign unicast one): the routing chooses
    // the address. An interface asked for is kept: a datagram meant for one
    // link must never leave through another.
    if ((errno != EINVAL && errno != ENETUNREACH) || from.ip == 0 || addressDropped) return errno;
    addressDropped = true;
    ask(0, from.interfaceIndex);
  }
}

int Socket::SendToMany(const void* data, size_t size, const Endpoint* to, size_t count, size_t* sent) {
  *sent = 0;
  // A sweep of a whole /16 goes through here: headers for a batch at a
  // time live on the stack.
  constexpr size_t kBatch = 64;
  mmsghdr headers[kBatch];
  sockaddr_in addresses[kBatch];
  iovec iov{const_cast<void*>(data), size};
  while (*sent < count) {
    const size_t n = std::min(kBatch, count - *sent);
    for (size_t i = 0; i < n; ++i) {
      addresses[i] = ToSockaddr(to[*sent + i]);
      headers[i] = mmsghdr{};
      headers[i].msg_hdr.msg_name = &addresses[i];
      headers[i].msg_hdr.msg_namelen = sizeof addresses[i];
      headers[i].msg_hdr.msg_iov = &iov;
      headers[i].msg_hdr.msg_iovlen = 1;
    }
    int rc;
    do {
      rc = ::sendmmsg(fd_, headers, static_cast<unsigned>(n), MSG_NOSIGNAL);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return errno;
    *sent += static_cast<size_t>(rc);
    // A short batch stopped at a failure the next call reports.
    if (static_cast<size_t>(rc) < n) {
      const Endpoint& failing = to[*sent];
      const int again = SendTo(data, size, failing);
      if (again != 0) return again;
      ++*sent;
    }
  }
  return 0;
}

int Socket::ReceiveFrom(void* buffer, size_t capacity, Datagram* out) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  size_t controlSize = sizeof control;
  return ReceiveMessage(buffer, capacity, out, control, &controlSize);
}

int Socket::ReceiveMessage(void* buffer, size_t capacity, Datagram* out, void* control,
                           size_t* controlSize, int flags) {
  sockaddr_in sa{};
  iovec iov{buffer, capacity};
  msghdr msg{};
  msg.msg_name = &sa;
  msg.msg_namelen = sizeof sa;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (control && controlSize) {
    msg.msg_control = control;
    msg.msg_controllen = *controlSize;
  }
  *out = Datagram{};
  ssize_t n;
  do {
    n = ::recvmsg(fd_, &msg, flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (controlSize) *controlSize = 0;
    return errno;
  }
  out->size = static_cast<size_t>(n);
  out->from = FromSockaddr(sa);
  if (msg.msg_control) ReadPacketInfo(&msg, &out->to);
  if (controlSize) *controlSize = msg.msg_control ? msg.msg_controllen : 0;
  // A datagram that did not fit is an error, as it is for a receive that
  // cannot take it whole; its head must never pass for a whole datagram.
  return (msg.msg_flags & MSG_TRUNC) ? EMSGSIZE : 0;
}

int Socket::ReceiveMany(DatagramSlot* slots, size_t count, size_t* filled) {
  *filled = 0;
  // Headers for a batch at a time live on the stack: this runs for every
  // burst of answers.
  constexpr size_t kBatch = 64;
  struct Control {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
  };
  mmsghdr headers[kBatch];
  iovec iovs[kBatch];
  sockaddr_in senders[kBatch];
  Control controls[kBatch];
  while (*filled < count) {
    DatagramSlot* batch = slots + *filled;
    const size_t want = std::min(kBatch, count - *filled);
    for (size_t i = 0; i < want; ++i) {
      iovs[i] = {batch[i].buffer, batch[i].capacity};
      msghdr& m = headers[i].msg_hdr;
      m = msghdr{};
      m.msg_name = &senders[i];
      m.msg_namelen = sizeof senders[i];
      m.msg_iov = &iovs[i];
      m.msg_iovlen = 1;
      m.msg_control = controls[i].bytes;
      m.msg_controllen = sizeof controls[i].bytes;
    }
    int n;
    do {
      n = ::recvmmsg(fd_, headers, static_cast<unsigned>(want), MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    // What a first batch took stays valid; a failure after it shows again
    // on the next call.
    if (n < 0) return *filled > 0 ? 0 : errno;
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
      DatagramSlot& slot = batch[i];
      msghdr& m = headers[i].msg_hdr;
      slot.got = Datagram{};
      slot.got.size = headers[i].msg_len;
      slot.got.from = FromSockaddr(senders[i]);
      ReadPacketInfo(&m, &slot.got.to);
      slot.error = (m.msg_flags & MSG_TRUNC) ? EMSGSIZE : 0;
    }
    *filled += static_cast<size_t>(n);
    // Fewer than asked for: the queue is empty for now.
    if (static_cast<size_t>(n) < want) break;
  }
  return 0;
}

int Socket::Poll(short events, int timeoutMs, short* revents) const {
  *revents = 0;
  // poll() would silently skip a negative descriptor and just sleep.
  if (fd_ < 0) return EBADF;
  pollfd p{fd_, events, 0};
  const int rc = PollFor(&p, 1, timeoutMs);
  if (rc < 0) return errno;
  if (rc > 0) *revents = p.revents;
  return 0;
}

int Socket::WaitReadable(int timeoutMs, bool* ready) const {
  short revents = 0;
  const int err = Poll(POLLIN, timeoutMs, &revents);
  *ready = revents != 0;
  return err;
}

int Socket::WaitWritable(int timeoutMs, bool* ready) const {
  short revents = 0;
  const int err = Poll(POLLOUT, timeoutMs, &revents);
  *ready = revents != 0;
  return err;
}

int WaitAnyReadable(const std::vector<const Socket*>& sockets, int timeoutMs,
                    std::vector<size_t>* ready) {
  ready->clear();
  std::vector<pollfd> polled;
  polled.reserve(sockets.size());
  for (const Socket* s : sockets) {
    if (!s->IsOpen()) return EBADF;
    polled.push_back({s->Fd(), POLLIN, 0});
  }
  const int rc = PollFor(polled.data(), polled.size(), timeoutMs);
  if (rc < 0) return errno;
  for (size_t i = 0; i < polled.size(); ++i)
    if (polled[i].revents != 0) ready->push_back(i);
  return 0;
}

int MakeStreamPair(Socket* a, Socket* b, Blocking blocking) {
  int type = SOCK_STREAM | SOCK_CLOEXEC;
  if (blocking == Blocking::No) type |= SOCK_NONBLOCK;
  int fds[2];
  if (::socketpair(AF_UNIX, type, 0, fds) != 0) return errno;
  *a = Socket(fds[0]);
  *b = Socket(fds[1]);
  return 0;
}

}  // namespace net
