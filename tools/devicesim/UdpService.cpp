// The devices' side of the UDP protocol: discovery answers and setting the
// network parameters, with the per-device fault switches.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <queue>
#include <vector>

#include "net/Socket.h"
#include "tools/devicesim/DeviceCodec.h"
#include "tools/devicesim/Services.h"

namespace {

namespace wire = devicewire;
using Clock = std::chrono::steady_clock;

struct Pending {
  Clock::time_point due;
  uint32_t to;
  uint16_t port;
  uint32_t source;
  std::vector<uint8_t> bytes;
  bool operator>(const Pending& o) const { return due > o.due; }
};

class DeviceProtocol {
 public:
  DeviceProtocol(ServiceContext& ctx, net::Socket& socket)
      : ctx_(ctx),
        socket_(socket),
        verbose_(ctx.settings.count("verbose") != 0),
        addressedOnly_(AddressedOnly(ctx)) {}

  // Behind a router every device has a stack of its own, which drops what
  // is sent to another device's address; by default all devices answer
  // whatever reaches the port, as they always have on one host.
  static bool AddressedOnly(const ServiceContext& ctx) { return ctx.settings.count("addressed-only") != 0; }

  // `destination` is the address the request was sent to (0: not known).
  void Handle(const uint8_t* buf, size_t count, uint32_t from, uint16_t port, uint32_t destination) {
    const std::optional<wire::Header> request = wire::ReadHeader(buf, count);
    if (!request) return;
    const std::vector<Device> devices = ctx_.devices.Snapshot();
    int answers = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
      const Device& d = devices[i];
      if (d.silent) continue;
      if (addressedOnly_ && destination != 0 && !AddressedTo(d, destination)) continue;
      std::optional<std::vector<uint8_t>> bytes = AnswerOf(i, d, *request, buf, count);
      if (!bytes) continue;
      if (d.size >= 0) bytes->resize(static_cast<size_t>(d.size), 0);
      answers += Dispatch(d, from, port, *bytes);
    }
    if (verbose_)
      std::fprintf(stderr, "devicesim: operation %u from %s:%u, %d answers\n", request->operation,
                   net::FormatIpv4(from).c_str(), port, answers);
  }

  // Sends what is due; returns the ms until the next pending answer.
  int SendDue() {
    while (!pending_.empty() && pending_.top().due <= Clock::now()) {
      const Pending& p = pending_.top();
      Send(p.to, p.port, p.source, p.bytes);
      pending_.pop();
    }
    if (pending_.empty()) return 50;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(pending_.top().due - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 50));
  }

 private:
  // What device `d` (at `index` of the table) answers, or nothing when it
  // keeps quiet.
  std::optional<std::vector<uint8_t>> AnswerOf(size_t index, const Device& d,
                                               const wire::Header& request, const uint8_t* buf,
                                               size_t count) {
    if (request.operation == wire::OP_DISCOVER)
      return wire::DiscoveryAnswer(request, d.status, {d.mac, d.kind, d.ip, d.mask});
    if (request.operation != wire::OP_SET_NETWORK)
      return wire::StatusAnswer(request, wire::STATUS_INVALID_OPERATION);
    const std::optional<wire::SetNetwork> set = wire::ReadSetNetwork(buf, count);
    if (!set) return wire::StatusAnswer(request, wire::STATUS_INVALID_LENGTH);
    if (set->target.mac != d.mac) {
      if (d.quietOthers) return std::nullopt;
      return wire::StatusAnswer(request, wire::STATUS_NOT_ADDRESSED);
    }
    return wire::StatusAnswer(request, Move(index, d, *set));
  }

  uint32_t Move(size_t index, const Device& d, const wire::SetNetwork& set) {
    if (set.password != d.password) return wire::STATUS_INVALID_PASSWORD;
    const uint32_t status = static_cast<uint32_t>(CheckNetworkParameters(set.target.ip, set.target.mask));
    if (status != wire::STATUS_OK) return status;
    ctx_.devices.SetAddress(index, set.target.ip, set.target.mask);
    if (ctx_.settings.count("no-addresses") == 0) AddToLoopback(set.target.ip);
    if (verbose_)
      std::fprintf(stderr, "devicesim: %s moved to %s\n", MacText(d.mac).c_str(),
                   net::FormatIpv4(set.target.ip).c_str());
    return status;
  }

  // Sends (or queues, for a late device) the answer once or twice; returns
  // how many copies went.
  int Dispatch(const Device& d, uint32_t to, uint16_t port, const std::vector<uint8_t>& bytes) {
    const int copies = d.twice ? 2 : 1;
    // Still to the asker's port: only the address is everybody's.
    if (d.broadcast) to = 0xFFFFFFFFu;
    for (int c = 0; c < copies; ++c) {
      if (d.lateMs > 0)
        pending_.push({Clock::now() + std::chrono::milliseconds(d.lateMs), to, port, d.ip, bytes});
      else
        Send(to, port, d.ip, bytes);
    }
    return copies;
  }

  void Send(uint32_t to, uint16_t port, uint32_t source, const std::vector<uint8_t>& bytes) {
    // A burst of thousands of answers may find the send queue full for a
    // moment: wait for room rather than lose answers.
    for (int attempt = 0; attempt < 20; ++attempt) {
      const int rc = socket_.SendTo(bytes.data(), bytes.size(), {to, port}, {source, 0});
      if (rc != EAGAIN && rc != EWOULDBLOCK && rc != ENOBUFS) {
        if (rc != 0 && verbose_)
          std::fprintf(stderr, "devicesim: send: %s\n", net::SystemErrorText(rc).c_str());
        return;
      }
      bool writable = false;
      socket_.WaitWritable(10, &writable);
    }
  }

  ServiceContext& ctx_;
  net::Socket& socket_;
  const bool verbose_;
  const bool addressedOnly_;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> pending_;
};

int OpenDevicePort(net::Socket& socket, bool packetInfo) {
  int err = socket.OpenUdp();
  if (err == 0) err = socket.SetReuseAddress(true);
  if (err == 0) err = socket.SetBroadcast(true);
  if (err == 0 && packetInfo) err = socket.EnablePacketInfo();
  if (err == 0) err = socket.Bind({0, wire::DEVICE_PORT});
  return err;
}

int RunDeviceProtocol(ServiceContext& ctx) {
  net::Socket socket;
  if (const int err = OpenDevicePort(socket, DeviceProtocol::AddressedOnly(ctx)); err != 0) {
    ctx.Fail("UDP port " + std::to_string(wire::DEVICE_PORT) + ": " + net::SystemErrorText(err));
    return 1;
  }
  DeviceProtocol protocol(ctx, socket);
  ctx.Ready();
  // Larger than any datagram a client sends, so over-long requests are seen.
  std::vector<uint8_t> buf(2048);
  while (!ctx.stop) {
    bool readable = false;
    if (socket.WaitReadable(protocol.SendDue(), &readable) != 0 || !readable) continue;
    for (int burst = 0; burst < 64; ++burst) {
      net::Datagram got;
      // An over-long datagram (EMSGSIZE) is dropped: its head is no request.
      if (socket.ReceiveFrom(buf.data(), buf.size(), &got) != 0) break;
      protocol.Handle(buf.data(), got.size, got.from.ip, got.from.port, got.to.ip);
    }
  }
  return 0;
}

ServiceRegistration udpService("udp", RunDeviceProtocol);

}  // namespace
