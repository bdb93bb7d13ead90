#pragma once
// A web server of the test's own on a loopback address, for what the device
// simulator will not do: bodies without end or without a length, trickles,
// uploads that are only counted. It serves one connection at a time on a
// thread of its own; the test's handler reads the request and answers
// through the connection, whose every wait watches the peer's stop.
//
//   testsupport::HttpPeer peer("127.0.0.41", 80, [](testsupport::HttpPeerConnection& c) {
//     std::string head;
//     if (!c.ReadHead(head)) return;
//     c.Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
//   });
//   ASSERT_TRUE(peer.Ready()) << peer.Error();
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

class HttpPeerConnection {
 public:
  HttpPeerConnection(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}

  // The request line and header fields up to the blank line (at most 64
  // KiB); false when the client went away or said nothing for 10 s.
  bool ReadHead(std::string& head);
  // The value of a header field of `head` (name in any letter case), or "".
  static std::string Header(const std::string& head, const std::string& name);
  // Takes up to `count` body bytes, handing each piece to `sink`; the
  // number taken (fewer when the client ended or went silent for 10 s).
  uint64_t ReadBody(uint64_t count, const std::function<void(const char*, size_t)>& sink);
  // false once the client is gone or the peer stops.
  bool Send(const std::string& bytes) { return Send(bytes.data(), bytes.size()); }
  bool Send(const char* data, size_t size);
  // false when the peer stops meanwhile.
  bool Sleep(std::chrono::milliseconds d);

 private:
  int fd_;
  const std::atomic<bool>& stop_;
  std::string pending_;  // bytes read past the head
};

class HttpPeer {
 public:
  using Handler = std::function<void(HttpPeerConnection&)>;
  HttpPeer(const std::string& ip, uint16_t port, Handler handler);
  ~HttpPeer();
  HttpPeer(const HttpPeer&) = delete;
  HttpPeer& operator=(const HttpPeer&) = delete;

  bool Ready() const { return listenFd_ >= 0; }
  const std::string& Error() const { return error_; }
  // Connections handled so far (the current one included).
  int Connections() const { return connections_.load(); }

 private:
  void Serve();

  Handler handler_;
  int listenFd_ = -1;
  std::string error_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace testsupport
