#pragma once
// Test helpers for the TFTP server: a scripted UDP peer on loopback, a wait
// running on a thread of its own, and scratch folders.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "RunningTftpServer.h"
#include "TtftpForm.h"

namespace tftptest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

inline Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

// opcode, then fields each ended by a zero byte.
inline Bytes Packet(uint16_t opcode, const std::vector<std::string>& fields) {
  Bytes p{static_cast<uint8_t>(opcode >> 8), static_cast<uint8_t>(opcode)};
  for (const auto& f : fields) {
    p.insert(p.end(), f.begin(), f.end());
    p.push_back(0);
  }
  return p;
}
inline Bytes Rrq(const std::string& name, const std::string& mode = "octet",
                 std::vector<std::string> options = {}) {
  std::vector<std::string> fields{name, mode};
  fields.insert(fields.end(), options.begin(), options.end());
  return Packet(1, fields);
}
inline Bytes Ack(uint16_t block) { return {0, 4, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)}; }

struct Received {
  bool arrived = false;
  Bytes data;
  uint16_t fromPort = 0;
  uint16_t Opcode() const { return data.size() >= 2 ? U16(data, 0) : 0; }
  uint16_t Number() const { return data.size() >= 4 ? U16(data, 2) : 0xFFFF; }
  // Text of an ERROR packet.
  std::string Message() const {
    if (data.size() <= 4) return {};
    return std::string(data.begin() + 4, data.end() - (data.back() == 0 ? 1 : 0));
  }
};

// A UDP socket on 127.0.0.x with an ephemeral (or given) port.
class Peer {
 public:
  explicit Peer(const char* address = "127.0.0.1", uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Peer() { ::close(fd_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool Bound() const { return bound_; }
  uint16_t Port() const { return port_; }

  void SendTo(uint16_t port, const Bytes& data) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }

  Received Receive(std::chrono::milliseconds timeout = 3000ms) {
    Received r;
    timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Bytes buffer(70000);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return r;
    buffer.resize(static_cast<size_t>(n));
    r.arrived = true;
    r.data = std::move(buffer);
    r.fromPort = ntohs(from.sin_port);
    return r;
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
  uint16_t port_ = 0;
};

// A scratch folder that goes away with the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tftpXXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }
  std::string Write(const std::string& name, const Bytes& content) const {
    std::string full = path_ + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                 static_cast<std::streamsize>(content.size()));
    return full;
  }

 private:
  std::string path_;
};

inline Bytes Pattern(size_t size, unsigned seed = 7) {
  Bytes b(size);
  uint32_t x = seed;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

// A wait serving the folder of filePath, its modal loop on a thread of its own.
class RunningWait {
 public:
  RunningWait(const std::string& filePath, const quillbox::TtftpSettings& settings = FastSettings())
      : form_(nullptr, filePath, settings) {
    form_.Create();
    port_ = form_.ServerPort();
    thread_ = std::thread([this] { result_ = form_.ShowModal(); });
  }
  ~RunningWait() {
    form_.Cancel();
    if (thread_.joinable()) thread_.join();
  }
  uint16_t Port() const { return port_; }
  quillbox::TtftpForm& Form() { return form_; }
  // The modal result once the wait has ended by itself within timeout, else -1.
  int WaitResult(std::chrono::milliseconds timeout = 5000ms) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (result_ < 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    return result_;
  }
  // Cancels and returns the result.
  int Close() {
    form_.Cancel();
    if (thread_.joinable()) thread_.join();
    return result_;
  }

 private:
  quillbox::TtftpForm form_;
  uint16_t port_ = 0;
  std::atomic<int> result_{-1};
  std::thread thread_;
};

}  // namespace tftptest
