// The simulator as the other tests use it: started, asked, stopped.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/DeviceSocket.h"
#include "support/FileBytes.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"

using testsupport::SimProcess;
using Clock = std::chrono::steady_clock;

namespace {

uint32_t Ip(const char* t) { return inet_addr(t); }

long Ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A client of the simulator's TCP sides that tells a refusal (reset) from
// an address that never answers.
class TcpPeer {
 public:
  enum Outcome { kAccepted, kRefused, kSilent };
  ~TcpPeer() { Close(); }
  Outcome Connect(const char* ip, uint16_t port) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = Ip(ip);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return kAccepted;
    if (errno == ECONNREFUSED) return kRefused;
    pollfd p{fd_, POLLOUT, 0};
    if (errno != EINPROGRESS || ::poll(&p, 1, 1500) != 1) return kSilent;
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    return err == 0 ? kAccepted : err == ECONNREFUSED ? kRefused : kSilent;
  }
  // Sends text and returns what comes back until the peer closes (or 3 s).
  std::string Exchange(const std::string& text) {
    if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) return "";
    std::string got;
    const auto giveUp = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < giveUp) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) != 1) continue;
      char buf[1024];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

// What ip:port answers once it gives `wanted`, or after 3 s what it
// answers then.
TcpPeer::Outcome Eventually(const char* ip, uint16_t port, TcpPeer::Outcome wanted) {
  const auto start = Clock::now();
  for (;;) {
    TcpPeer peer;
    const TcpPeer::Outcome outcome = peer.Connect(ip, port);
    if (outcome == wanted || Ms(start) > 3000) return outcome;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Ended, or a zombie nobody has reaped yet.
bool Gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pidText, name, state;
  return stat >> pidText >> name >> state && state == "Z";
}

struct PipeEnd {
  int fd = -1;
  ~PipeEnd() {
    if (fd >= 0) ::close(fd);
  }
};

const char* Name(TcpPeer::Outcome o) {
  return o == TcpPeer::kAccepted ? "accepted" : o == TcpPeer::kRefused ? "refused" : "silent";
}

}  // namespace

TEST(DeviceSim, RefusesToRunOutsideThePrivateNetwork) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  unsetenv("QUILL_NETNS");
  SimProcess sim({"--generate", "1"});
  setenv("QUILL_NETNS", "1", 1);
  EXPECT_FALSE(sim.Ready());
  ASSERT_TRUE(WIFEXITED(sim.ExitStatus()));
  EXPECT_NE(WEXITSTATUS(sim.ExitStatus()), 0);
}

TEST(DeviceSim, RejectsABadDeviceFileAndStopsCleanly) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess bad = SimProcess::WithDevices("00:50:C2:00:00:01 0 127.0.0.1\n");
  EXPECT_FALSE(bad.Ready());

  SimProcess good({"--generate", "3"});
  ASSERT_TRUE(good.Ready()) << good.Error();
  const int status = good.Stop();
  ASSERT_TRUE(WIFEXITED(status)) << "SIGTERM must end it by itself";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DeviceSim, EndsWithTheProcessThatStartedIt) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  PipeEnd readEnd{fds[0]}, writeEnd{fds[1]};
  const pid_t starter = ::fork();
  ASSERT_GE(starter, 0);
  if (starter == 0) {
    // Ends as an aborting test would: nothing stops the simulator.
    SimProcess sim({"--generate", "1", "--only", "udp"});
    const pid_t pid = sim.Ready() ? sim.Pid() : -1;
    const bool told = ::write(writeEnd.fd, &pid, sizeof pid) == sizeof pid;
    ::_exit(told ? 0 : 1);
  }
  ::close(writeEnd.fd);
  writeEnd.fd = -1;
  pid_t sim = -1;
  pollfd p{readEnd.fd, POLLIN, 0};
  if (::poll(&p, 1, 15000) == 1 && ::read(readEnd.fd, &sim, sizeof sim) != sizeof sim) sim = -1;
  int status = 0;
  ASSERT_EQ(::waitpid(starter, &status, 0), starter);
  ASSERT_GT(sim, 0) << "the simulator did not get ready";
  const auto start = Clock::now();
  while (!Gone(sim) && Ms(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(Gone(sim)) << "the simulator outlived its parent";
  if (!Gone(sim)) ::kill(sim, SIGKILL);
}

TEST(DeviceSim, SampleDevicesAreListedAndReachable) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  const std::string sample = testsupport::ReadAll(std::string(QUILL_SOURCE_DIR) + "/tools/devicesim/sample-devices.txt");
  ASSERT_FALSE(sample.empty());
  SimProcess sim = SimProcess::WithDevices(sample, {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CDeviceSocket device;
  DeviceRecordArray records;
  int count = 0;
  ASSERT_EQ(device.Discover(records, count), 0);
  std::map<std::string, int> byIp;
  for (int i = 0; i < count; ++i) ++byIp[FormatIp(records[i]->ip())];
  EXPECT_EQ(count, 7) << "every device but the one of an unknown kind";
  EXPECT_EQ(byIp["0.0.0.0"], 1) << "a device without an address";
  bool duplicate = false;
  for (const auto& [ip, n] : byIp) duplicate = duplicate || n > 1;
  EXPECT_TRUE(duplicate) << "two devices share an address";

  // Addresses outside 127/8 were put on lo: a closed port there is refused
  // at once instead of hanging like an absent host.
  const auto start = Clock::now();
  EXPECT_FALSE(device.ProbeConnect(Ip("192.168.1.20"), 1));
  EXPECT_LT(Ms(start), 1000);
}

TEST(DeviceSim, MovedDeviceGetsItsNewAddressOnLoopback) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = SimProcess::WithDevices("00:50:C2:00:00:01 0 127.0.0.11 255.0.0.0 pw\n",
                                           {"--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CDeviceSocket device;
  SetNetworkRequest r;
  r.mac = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x01};
  r.ip = Ip("10.77.0.5");
  r.mask = Ip("255.255.0.0");
  r.password = "pw";
  ASSERT_EQ(device.SetNetworkParameters(r), 0);
  const auto start = Clock::now();
  EXPECT_FALSE(device.ProbeConnect(Ip("10.77.0.5"), 1));
  EXPECT_LT(Ms(start), 1000) << "the new address answers (with a refusal) at once";
}

TEST(DeviceSim, UnknownOperationIsRefusedByEveryDevice) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim({"--generate", "2", "--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  CDeviceSocket device;
  const std::vector<uint8_t> request = BuildRequest(7, nullptr, 0);
  ASSERT_EQ(device.SendRequest(Ip("127.0.0.1"), request.data(), request.size()), 0);
  uint8_t buf[MAX_DATAGRAM];
  EXPECT_EQ(device.ReceiveReply(2000, buf, 0), 4995);
  EXPECT_EQ(device.ReceiveReply(2000, buf, 0), 4995);
  EXPECT_EQ(device.ReceiveReply(300, buf, 0), ERR_RECEIVE_TIMEOUT);
  device.Close();
}

TEST(DeviceSim, TcpSidesAnswerOnlyOnTheAddressesOfDevicesOfferingThem) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  SimProcess sim = SimProcess::WithDevices(
      "00:50:C2:00:00:01 0 127.0.0.11 255.0.0.0 pw\n"
      "00:50:C2:00:00:02 0x30 127.0.0.12 255.0.0.0 pw\n"
      "00:50:C2:00:00:03 0x31 0.0.0.0 0.0.0.0 pw\n");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  struct Case {
    const char* ip;
    uint16_t port;
    TcpPeer::Outcome expected;
  };
  const Case cases[] = {
      {"127.0.0.11", 80, TcpPeer::kAccepted}, {"127.0.0.11", 21, TcpPeer::kAccepted},
      {"127.0.0.11", 23, TcpPeer::kRefused},  {"127.0.0.12", 80, TcpPeer::kRefused},
      {"127.0.0.12", 21, TcpPeer::kRefused},  {"127.0.0.12", 23, TcpPeer::kAccepted},
      // No device there (the one without an address must not make the
      // simulator listen on every address).
      {"127.0.0.13", 80, TcpPeer::kRefused},  {"127.0.0.1", 21, TcpPeer::kRefused},
      {"127.0.0.1", 23, TcpPeer::kRefused},
  };
  for (const Case& c : cases) {
    TcpPeer peer;
    EXPECT_STREQ(Name(peer.Connect(c.ip, c.port)), Name(c.expected)) << c.ip << ":" << c.port;
  }

  // A moved device answers at its new address, with its own web server, and
  // its old one refuses.
  CDeviceSocket device;
  SetNetworkRequest r;
  r.mac = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x01};
  r.ip = Ip("10.77.0.9");
  r.mask = Ip("255.255.0.0");
  r.password = "pw";
  ASSERT_EQ(device.SetNetworkParameters(r), 0);
  // Each side follows the move on its own schedule: wait for every one.
  const Case moves[] = {
      {"10.77.0.9", 80, TcpPeer::kAccepted},  {"10.77.0.9", 21, TcpPeer::kAccepted},
      {"10.77.0.9", 23, TcpPeer::kRefused},   {"127.0.0.11", 80, TcpPeer::kRefused},
      {"127.0.0.11", 21, TcpPeer::kRefused},
  };
  for (const Case& c : moves)
    EXPECT_STREQ(Name(Eventually(c.ip, c.port, c.expected)), Name(c.expected)) << c.ip << ":" << c.port;
  TcpPeer moved;
  ASSERT_STREQ(Name(moved.Connect("10.77.0.9", 80)), "accepted");
  EXPECT_EQ(moved.Exchange("GET /CGI/mReturnFileCGI?file=ConfigFile.txt HTTP/1.0\r\n\r\n").substr(0, 12),
            "HTTP/1.0 401");
}
