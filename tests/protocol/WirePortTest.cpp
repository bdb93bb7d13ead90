// The transport really sends to the device port: a listener of its own on
// 127.0.0.1:8375 receives the discovery request as the documented bytes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/DeviceSocket.h"
#include "support/NetGuard.h"
#include "support/WireGolden.h"

namespace {

// A UDP socket on 127.0.0.1 at the documented port, closed on every path.
class PortListener {
 public:
  PortListener() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(golden::DEVICE_PORT);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  }
  ~PortListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  PortListener(const PortListener&) = delete;
  PortListener& operator=(const PortListener&) = delete;
  bool Bound() const { return bound_; }
  // The next datagram within 2 s, or nothing.
  std::vector<uint8_t> Receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return {};
    std::vector<uint8_t> buf(2048);
    const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

}  // namespace

TEST(WirePort, DiscoveryRequestArrivesOnPort8375) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  PortListener listener;
  ASSERT_TRUE(listener.Bound());
  CDeviceSocket device;
  const std::vector<uint8_t> request = BuildRequest(OP_DISCOVER, nullptr, 0);
  ASSERT_EQ(device.SendRequest(htonl(INADDR_LOOPBACK), request.data(), request.size()), 0);
  device.Close();
  EXPECT_EQ(listener.Receive(),
            std::vector<uint8_t>(golden::DISCOVERY_REQUEST.begin(), golden::DISCOVERY_REQUEST.end()));
}
