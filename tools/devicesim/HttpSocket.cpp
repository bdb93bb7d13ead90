#include "tools/devicesim/HttpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

SimFd::~SimFd() {
  if (fd_ >= 0) ::close(fd_);
}

SimFd& SimFd::operator=(SimFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

void SimFd::Abort() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd_);
  fd_ = -1;
}

namespace {

struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

// Errors that say the port cannot be served at all, as opposed to one
// device's address being unusable (a broadcast address, say).
bool PortUnusable(int err) {
  return err == EACCES || err == EADDRINUSE || err == EMFILE || err == ENFILE || err == ENOBUFS ||
         err == ENOMEM;
}

// 0 and the listener, or the errno.
int OpenListener(uint32_t ipNetOrder, uint16_t port, SimFd& out) {
  SimFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return errno;
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // A moved device's address reaches lo a moment after the table changes
  // (never, with --no-addresses): the listener waits there all the same.
  ::setsockopt(fd.get(), IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = ipNetOrder;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), 64) != 0)
    return errno;
  out = std::move(fd);
  return 0;
}

// Makes `open` hold one listener for each address of `wanted`: closing a
// listener makes its address refuse connections again. False (and why)
// when the port cannot be served; an address that alone cannot be bound
// is reported and left without a listener.
bool Follow(std::map<uint32_t, SimFd>& open, const std::set<uint32_t>& wanted, uint16_t port,
            std::string* why) {
  for (auto it = open.begin(); it != open.end();)
    it = wanted.count(it->first) ? std::next(it) : open.erase(it);
  for (uint32_t ip : wanted) {
    if (open.count(ip)) continue;
    SimFd fd;
    const int err = OpenListener(ip, port, fd);
    if (err == 0) {
      open.emplace(ip, std::move(fd));
      continue;
    }
    const std::string what =
        "port " + std::to_string(port) + " on " + IpText(ip) + ": " + std::strerror(err);
    if (PortUnusable(err)) {
      *why = what;
      return false;
    }
    std::fprintf(stderr, "devicesim: %s (the device there refuses it)\n", what.c_str());
  }
  return true;
}

}  // namespace

int ServeTcp(ServiceContext& ctx, uint16_t port, OffersSide offers,
             std::function<void(SimConnection&)> handle) {
  // Read before the addresses, so a move in between is seen next round.
  uint64_t generation = ctx.devices.Generation();
  std::map<uint32_t, SimFd> listeners;  // by address, network byte order
  std::string why;
  if (!Follow(listeners, ctx.devices.Addresses(offers), port, &why)) {
    ctx.Fail(why);
    return 1;
  }
  ctx.Ready();
  std::list<Worker> workers;
  std::vector<pollfd> polled;
  while (!ctx.stop) {
    for (auto it = workers.begin(); it != workers.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
    if (const uint64_t now = ctx.devices.Generation(); now != generation) {
      generation = now;
      if (!Follow(listeners, ctx.devices.Addresses(offers), port, &why))
        std::fprintf(stderr, "devicesim: %s\n", why.c_str());
    }
    polled.clear();
    for (const auto& [ip, fd] : listeners) polled.push_back({fd.get(), POLLIN, 0});
    // Without listeners this only waits, as it must to watch ctx.stop.
    if (::poll(polled.data(), polled.size(), 100) <= 0) continue;
    for (const pollfd& p : polled) {
      if ((p.revents & POLLIN) == 0) continue;
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      const int fd = ::accept4(p.fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (fd < 0) continue;
      auto conn = std::make_shared<SimConnection>();
      conn->fd = SimFd(fd);
      conn->peerIp = peer.sin_addr.s_addr;
      sockaddr_in local{};
      len = sizeof local;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
      conn->localIp = local.sin_addr.s_addr;
      conn->stop = &ctx.stop;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Worker& w = workers.emplace_back();
      auto done = w.done;
      w.thread = std::thread([conn, done, handle] {
        handle(*conn);
        done->store(true);
      });
    }
  }
  for (Worker& w : workers) w.thread.join();
  return 0;
}

bool WaitReadable(const SimConnection& c, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!c.stop->load()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{c.fd.get(), POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left < 100 ? left : 100));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
  return false;
}

bool ReadLine(SimConnection& c, std::string& buffer, std::string& line, int timeoutMs) {
  for (;;) {
    auto nl = buffer.find('\n');
    if (nl != std::string::npos) {
      line = buffer.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      buffer.erase(0, nl + 1);
      return true;
    }
    if (buffer.size() > 64 * 1024) return false;
    if (!WaitReadable(c, timeoutMs)) return false;
    char chunk[4096];
    ssize_t n = ::recv(c.fd.get(), chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

bool SendAll(const SimConnection& c, const char* data, size_t size) {
  while (size > 0) {
    if (c.stop->load()) return false;
    pollfd p{c.fd.get(), POLLOUT, 0};
    int rc = ::poll(&p, 1, 100);
    if (rc < 0 && errno != EINTR) return false;
    if (rc <= 0) continue;
    ssize_t n = ::send(c.fd.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SleepWatching(const std::atomic<bool>& stop, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop.load()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    std::this_thread::sleep_for(left < std::chrono::milliseconds(20) ? left
                                                                     : std::chrono::milliseconds(20));
  }
  return false;
}
