#include "support/HttpPeer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "support/Ipv4Socket.h"

namespace testsupport {
namespace {

constexpr int kSliceMs = 50;
constexpr int kIdleMs = 10000;
constexpr size_t kMaxHead = 64 * 1024;

// Waits in slices for `events` on fd: true when ready, false on stop or
// after idleMs.
bool WaitFor(int fd, short events, const std::atomic<bool>& stop, int idleMs) {
  for (int waited = 0; waited < idleMs; waited += kSliceMs) {
    if (stop.load()) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, kSliceMs);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
  return false;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

bool HttpPeerConnection::ReadHead(std::string& head) {
  std::string got = std::move(pending_);
  pending_.clear();
  for (;;) {
    const size_t end = got.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = got.substr(0, end + 2);
      pending_ = got.substr(end + 4);
      return true;
    }
    if (got.size() > kMaxHead || !WaitFor(fd_, POLLIN, stop_, kIdleMs)) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got.append(buf, static_cast<size_t>(n));
  }
}

std::string HttpPeerConnection::Header(const std::string& head, const std::string& name) {
  const std::string lower = Lower(head), want = "\r\n" + Lower(name) + ":";
  const size_t at = lower.find(want);
  if (at == std::string::npos) return "";
  size_t from = at + want.size();
  while (from < head.size() && head[from] == ' ') ++from;
  return head.substr(from, head.find("\r\n", from) - from);
}

uint64_t HttpPeerConnection::ReadBody(uint64_t count,
                                      const std::function<void(const char*, size_t)>& sink) {
  uint64_t taken = std::min<uint64_t>(count, pending_.size());
  if (taken) sink(pending_.data(), static_cast<size_t>(taken));
  pending_.erase(0, static_cast<size_t>(taken));
  char buf[64 * 1024];
  while (taken < count) {
    if (!WaitFor(fd_, POLLIN, stop_, kIdleMs)) break;
    const ssize_t n =
        ::recv(fd_, buf, static_cast<size_t>(std::min<uint64_t>(sizeof buf, count - taken)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sink(buf, static_cast<size_t>(n));
    taken += static_cast<uint64_t>(n);
  }
  return taken;
}

bool HttpPeerConnection::Send(const char* data, size_t size) {
  while (size > 0) {
    if (!WaitFor(fd_, POLLOUT, stop_, kIdleMs)) return false;
    const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool HttpPeerConnection::Sleep(std::chrono::milliseconds d) {
  const auto until = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < until) {
    if (stop_.load()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(kSliceMs), until - std::chrono::steady_clock::now()));
  }
  return !stop_.load();
}

HttpPeer::HttpPeer(const std::string& ip, uint16_t port, Handler handler)
    : handler_(std::move(handler)) {
  listenFd_ = BoundSocket(SOCK_STREAM | SOCK_CLOEXEC, ip.c_str(), port);
  if (listenFd_ < 0 || ::listen(listenFd_, 8) != 0) {
    error_ = "cannot listen on " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno);
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

HttpPeer::~HttpPeer() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void HttpPeer::Serve() {
  while (!stop_.load()) {
    if (!WaitFor(listenFd_, POLLIN, stop_, kSliceMs)) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connections_.fetch_add(1);
    {
      HttpPeerConnection c(fd, stop_);
      handler_(c);
    }
    ::close(fd);
  }
}

}  // namespace testsupport
