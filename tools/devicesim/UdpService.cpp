// The devices' side of the UDP protocol: discovery answers and setting the
// network parameters, with the per-device fault switches.
#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <queue>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/Socket.h"
#include "tools/devicesim/Services.h"

namespace {

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
  DeviceProtocol(ServiceContext& ctx, Socket& socket)
      : ctx_(ctx), socket_(socket), verbose_(ctx.settings.count("verbose") != 0) {}

  void Handle(const uint8_t* buf, long count, uint32_t from, uint16_t port) {
    if (count < static_cast<long>(DEVICE_HEADER_SIZE)) return;
    const DeviceMessageHeader request = DeviceMessageHeader::Decode(buf);
    const std::vector<Device> devices = ctx_.devices.Snapshot();
    int answers = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
      const Device& d = devices[i];
      if (d.silent) continue;
      DeviceMessageHeader reply;
      reply.version = request.version;
      reply.operation = request.operation;
      std::vector<uint8_t> bytes(DEVICE_HEADER_SIZE);
      if (request.operation == OP_DISCOVER) {
        DeviceRecord record;
        record.setMac(d.mac.data());
        record.setKind(d.kind);
        record.setIp(d.ip);
        record.setMask(d.mask);
        reply.status = d.status;
        reply.length = DEVICE_RECORD_SIZE;
        bytes.insert(bytes.end(), record.bytes.begin(), record.bytes.end());
      } else if (request.operation == OP_SET_NETWORK) {
        if (request.length != SET_NETWORK_REQUEST_SIZE ||
            count != static_cast<long>(DEVICE_HEADER_SIZE + SET_NETWORK_REQUEST_SIZE)) {
          reply.status = 4994;  // "Invalid buffer length"
        } else {
          const SetNetworkRequest set = SetNetworkRequest::Decode(buf + DEVICE_HEADER_SIZE);
          if (std::memcmp(set.mac.data(), d.mac.data(), 6) != 0) {
            if (d.quietOthers) continue;
            reply.status = ERR_INVALID_PHYSICAL_ADDRESS;
          } else if (set.password != d.password) {
            reply.status = ERR_INVALID_PASSWORD;
          } else {
            reply.status = static_cast<uint32_t>(CheckNetworkParameters(set.ip, set.mask));
            if (reply.status == 0) {
              ctx_.devices.SetAddress(i, set.ip, set.mask);
              if (ctx_.settings.count("no-addresses") == 0) AddToLoopback(set.ip);
              if (verbose_)
                std::fprintf(stderr, "devicesim: %s moved to %s\n", FormatMac(d.mac.data()).c_str(),
                             FormatIp(set.ip).c_str());
            }
          }
        }
        reply.length = 0;
      } else {
        reply.status = 4995;  // "Invalid operation"
        reply.length = 0;
      }
      reply.Encode(bytes.data());
      if (d.size >= 0) bytes.resize(static_cast<size_t>(d.size), 0);
      const int copies = d.twice ? 2 : 1;
      for (int c = 0; c < copies; ++c) {
        if (d.lateMs > 0)
          pending_.push({Clock::now() + std::chrono::milliseconds(d.lateMs), from, port, d.ip, bytes});
        else
          Send(from, port, d.ip, bytes);
        ++answers;
      }
    }
    if (verbose_)
      std::fprintf(stderr, "devicesim: operation %u from %s:%u, %d answers\n", request.operation,
                   FormatIp(from).c_str(), port, answers);
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
  void Send(uint32_t to, uint16_t port, uint32_t source, const std::vector<uint8_t>& bytes) {
    // A burst of thousands of answers may find the send queue full for a
    // moment: wait for room rather than lose answers.
    for (int attempt = 0; attempt < 20; ++attempt) {
      const int rc = socket_.SendTo(to, port, bytes.data(), bytes.size(), source);
      if (rc != EAGAIN && rc != EWOULDBLOCK && rc != ENOBUFS) {
        if (rc != 0 && verbose_) std::fprintf(stderr, "devicesim: send: %s\n", std::strerror(rc));
        return;
      }
      socket_.Poll(true, 10);
    }
  }

  ServiceContext& ctx_;
  Socket& socket_;
  const bool verbose_;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> pending_;
};

int RunDeviceProtocol(ServiceContext& ctx) {
  Socket socket;
  int rc = socket.OpenUdp();
  if (rc == 0) rc = socket.SetReuseAddress(true);
  if (rc == 0) rc = socket.Bind(htonl(INADDR_ANY), DEVICE_PORT);
  if (rc != 0) {
    ctx.Fail(std::string("UDP port 8375: ") + std::strerror(rc));
    return 1;
  }
  DeviceProtocol protocol(ctx, socket);
  ctx.Ready();
  // Larger than any datagram a client sends, so over-long requests are seen.
  std::vector<uint8_t> buf(2048);
  while (!ctx.stop) {
    const int wait = protocol.SendDue();
    if (socket.Poll(false, wait) <= 0) continue;
    for (int burst = 0; burst < 64; ++burst) {
      uint32_t from = 0;
      uint16_t port = 0;
      const long n = socket.ReceiveFrom(buf.data(), buf.size(), &from, &port);
      if (n < 0) break;
      protocol.Handle(buf.data(), n, from, port);
    }
  }
  return 0;
}

ServiceRegistration udpService("udp", RunDeviceProtocol);

}  // namespace
