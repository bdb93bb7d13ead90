#pragma once
// Helpers shared by the scan, device list, network parameters and
// connection tests: a scripted ModalUi, record building, the application
// object, and small loopback peers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>
#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "explorer/app/QtThreadPool.h"
#include "support/Ipv4Socket.h"
#include "support/ScriptedUi.h"
#include "explorer/protocol/DeviceMessages.h"

namespace scantest {

// The application object lives from the start to the end of the test run
// and goes before the process exits: Qt must not be torn down by static
// destructors.
class AppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "protocol-test";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override {
    SettleQtThreadPool();
    app.reset();
  }
  std::unique_ptr<QApplication> app;
};
// gtest takes ownership of the environment.
inline AppEnvironment* const g_appEnvironment =
    static_cast<AppEnvironment*>(::testing::AddGlobalTestEnvironment(new AppEnvironment));

inline QApplication& App() { return *g_appEnvironment->app; }

using Box = RecordedBox;
using ScriptedUi = ::ScriptedUi;

inline uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

inline std::unique_ptr<DeviceRecord> Record(uint8_t lastMacByte, uint16_t kind, const char* ip,
                                            const char* mask = "255.255.255.0") {
  auto r = std::make_unique<DeviceRecord>();
  const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, lastMacByte};
  r->setMac(mac);
  r->setKind(kind);
  r->setIp(Ip(ip));
  r->setMask(Ip(mask));
  return r;
}

inline std::string MacText(uint8_t lastMacByte) {
  char text[32];
  std::snprintf(text, sizeof text, "00:50:C2:00:00:%02X", lastMacByte);
  return text;
}

// A socket served on a thread of its own: `serve` runs whenever the socket
// is readable. Destruction stops and joins the thread, then closes the
// socket; a holder declares it last, so that whatever `serve` uses
// outlives the thread.
class ServedSocket {
 public:
  // Takes over `fd` (-1: nothing to serve).
  ServedSocket(int fd, std::function<void(int fd)> serve) : fd_(fd), serve_(std::move(serve)) {
    if (fd_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~ServedSocket() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  ServedSocket(const ServedSocket&) = delete;
  ServedSocket& operator=(const ServedSocket&) = delete;
  bool ok() const { return fd_ >= 0; }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) serve_(fd_);
    }
  }
  const int fd_;
  const std::function<void(int fd)> serve_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A TCP listener on addr:port that accepts (and drops) connections on a
// thread of its own; joined on destruction.
class TcpListener {
 public:
  TcpListener(const char* addr, uint16_t port)
      : socket_(Listening(addr, port), [this](int fd) { Accept(fd); }) {}
  bool ok() const { return socket_.ok(); }
  int accepted() const { return accepted_.load(); }

 private:
  static int Listening(const char* addr, uint16_t port) {
    const int fd = testsupport::BoundSocket(SOCK_STREAM | SOCK_CLOEXEC, addr, port);
    if (fd >= 0 && listen(fd, 16) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  void Accept(int fd) {
    const int c = accept(fd, nullptr, nullptr);
    if (c >= 0) {
      ++accepted_;
      close(c);
    }
  }
  std::atomic<int> accepted_{0};
  ServedSocket socket_;
};

// A device side of our own on UDP port 8375 that answers discovery
// requests with `answer(requestNumber)` (no answer when it returns
// nothing); joined on destruction.
class ScriptedResponder {
 public:
  using Answer = std::function<std::vector<std::vector<uint8_t>>(int requestNumber)>;
  explicit ScriptedResponder(Answer answer)
      : answer_(std::move(answer)),
        socket_(testsupport::BoundSocket(SOCK_DGRAM | SOCK_CLOEXEC, "0.0.0.0", DEVICE_PORT),
                [this](int fd) { Respond(fd); }) {}
  bool ok() const { return socket_.ok(); }
  int requests() const { return requests_.load(); }

  static std::vector<uint8_t> DiscoveryReply(const DeviceRecord& record) {
    DeviceMessageHeader h;
    h.operation = OP_DISCOVER;
    h.length = DEVICE_RECORD_SIZE;
    std::vector<uint8_t> bytes(DEVICE_HEADER_SIZE);
    h.Encode(bytes.data());
    bytes.insert(bytes.end(), record.bytes.begin(), record.bytes.end());
    return bytes;
  }

 private:
  void Respond(int fd) {
    uint8_t buf[MAX_DATAGRAM];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const long n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < static_cast<long>(DEVICE_HEADER_SIZE)) return;
    if (DeviceMessageHeader::Decode(buf).operation != OP_DISCOVER) return;
    for (const auto& reply : answer_(requests_++)) {
      sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
  Answer answer_;
  std::atomic<int> requests_{0};
  ServedSocket socket_;
};

}  // namespace scantest
