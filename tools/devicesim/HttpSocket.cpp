#include "tools/devicesim/HttpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <list>
#include <memory>
#include <thread>

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

}  // namespace

int ServeTcp(ServiceContext& ctx, uint16_t port, std::function<void(SimConnection&)> handle) {
  SimFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.valid()) {
    ctx.Fail("socket: " + std::string(strerror(errno)));
    return 1;
  }
  int one = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener.get(), 64) != 0) {
    ctx.Fail("port " + std::to_string(port) + ": " + strerror(errno));
    return 1;
  }
  ctx.Ready();
  std::list<Worker> workers;
  while (!ctx.stop) {
    for (auto it = workers.begin(); it != workers.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto conn = std::make_shared<SimConnection>();
    conn->fd = SimFd(fd);
    conn->peerIp = peer.sin_addr.s_addr;
    sockaddr_in local{};
    len = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    conn->localIp = local.sin_addr.s_addr;
    conn->stop = &ctx.stop;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Worker& w = workers.emplace_back();
    auto done = w.done;
    w.thread = std::thread([conn, done, handle] {
      handle(*conn);
      done->store(true);
    });
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
