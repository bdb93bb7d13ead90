#include "tools/devicesim/HttpSocket.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

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
int OpenListener(uint32_t ipNetOrder, uint16_t port, net::Socket& out) {
  net::Socket s;
  int err = s.OpenTcp();
  if (err == 0) err = s.SetReuseAddress(true);
  // A moved device's address reaches lo a moment after the table changes
  // (never, with --no-addresses): the listener waits there all the same.
  if (err == 0) err = s.SetFreeBind(true);
  if (err == 0) err = s.Bind({ipNetOrder, port});
  if (err == 0) err = s.Listen(64);
  if (err == 0) out = std::move(s);
  return err;
}

// Makes `open` hold one listener for each address of `wanted`: closing a
// listener makes its address refuse connections again. False (and why)
// when the port cannot be served; an address that alone cannot be bound
// is reported and left without a listener.
bool Follow(std::map<uint32_t, net::Socket>& open, const std::set<uint32_t>& wanted,
            uint16_t port, std::string* why) {
  for (auto it = open.begin(); it != open.end();)
    it = wanted.count(it->first) ? std::next(it) : open.erase(it);
  for (uint32_t ip : wanted) {
    if (open.count(ip)) continue;
    net::Socket s;
    const int err = OpenListener(ip, port, s);
    if (err == 0) {
      open.emplace(ip, std::move(s));
      continue;
    }
    const std::string what = "port " + std::to_string(port) + " on " + net::FormatIpv4(ip) + ": " +
                             net::SystemErrorText(err);
    if (PortUnusable(err)) {
      *why = what;
      return false;
    }
    std::fprintf(stderr, "devicesim: %s (the device there refuses it)\n", what.c_str());
  }
  return true;
}

// The accepted connection, ready for its handler; nothing when it is gone
// already.
std::shared_ptr<SimConnection> TakeConnection(net::Socket& listener, const std::atomic<bool>& stop) {
  auto conn = std::make_shared<SimConnection>();
  net::Endpoint peer, local;
  if (listener.Accept(&conn->fd, &peer) != 0 || conn->fd.SetNonBlocking(true) != 0 ||
      conn->fd.LocalAddress(&local) != 0)
    return nullptr;
  conn->peerIp = peer.ip;
  conn->localIp = local.ip;
  conn->stop = &stop;
  conn->fd.SetNoDelay(true);
  return conn;
}

void JoinFinished(std::list<Worker>& workers) {
  for (auto it = workers.begin(); it != workers.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

int ServeTcp(ServiceContext& ctx, uint16_t port, OffersSide offers,
             std::function<void(SimConnection&)> handle) {
  // Read before the addresses, so a move in between is seen next round.
  uint64_t generation = ctx.devices.Generation();
  std::map<uint32_t, net::Socket> listeners;  // by address, network byte order
  std::string why;
  if (!Follow(listeners, ctx.devices.Addresses(offers), port, &why)) {
    ctx.Fail(why);
    return 1;
  }
  ctx.Ready();
  std::list<Worker> workers;
  std::vector<net::Socket*> polled;
  std::vector<size_t> ready;
  while (!ctx.stop) {
    JoinFinished(workers);
    if (const uint64_t now = ctx.devices.Generation(); now != generation) {
      generation = now;
      if (!Follow(listeners, ctx.devices.Addresses(offers), port, &why))
        std::fprintf(stderr, "devicesim: %s\n", why.c_str());
    }
    polled.clear();
    for (auto& [ip, listener] : listeners) polled.push_back(&listener);
    // Without listeners this only waits, as it must to watch ctx.stop.
    if (net::WaitAnyReadable({polled.begin(), polled.end()}, 100, &ready) != 0) continue;
    for (size_t i : ready) {
      std::shared_ptr<SimConnection> conn = TakeConnection(*polled[i], ctx.stop);
      if (!conn) continue;
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

bool WaitReadable(const net::Socket& s, const std::atomic<bool>& stop, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!stop.load()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return false;
    bool ready = false;
    if (s.WaitReadable(static_cast<int>(left < 100 ? left : 100), &ready) != 0) return false;
    if (ready) return true;
  }
  return false;
}

long ReceiveSome(net::Socket& s, const std::atomic<bool>& stop, char* buffer, size_t size,
                 int timeoutMs) {
  for (;;) {
    if (!WaitReadable(s, stop, timeoutMs)) return -1;
    size_t got = 0;
    const int err = s.Recv(buffer, size, &got);
    if (err == 0) return static_cast<long>(got);
    // Readable but nothing there after all: wait again.
    if (err != EAGAIN && err != EWOULDBLOCK) return -1;
  }
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
    char chunk[4096];
    const long n = ReceiveSome(c.fd, *c.stop, chunk, sizeof chunk, timeoutMs);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

bool SendAll(SimConnection& c, const char* data, size_t size) {
  net::Socket& s = c.fd;
  while (size > 0) {
    if (c.stop->load()) return false;
    bool ready = false;
    if (s.WaitWritable(100, &ready) != 0) return false;
    if (!ready) continue;
    size_t sent = 0;
    const int err = s.Send(data, size, &sent);
    if (err == EAGAIN || err == EWOULDBLOCK) continue;
    if (err != 0) return false;
    data += sent;
    size -= sent;
  }
  return true;
}

bool SleepWatching(const std::atomic<bool>& stop, int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!stop.load()) {
    auto now = Clock::now();
    if (now >= end) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    std::this_thread::sleep_for(left < std::chrono::milliseconds(20) ? left
                                                                     : std::chrono::milliseconds(20));
  }
  return false;
}
