#pragma once
// HTTP layer on libcurl. One HttpClient per device (its user agent); one
// HttpRequest per transfer. The request is pull-driven: Send() returns once
// the final status is known, Read() then hands out the body piece by piece,
// so a caller may pause between the status and the body (the transfer is
// held paused meanwhile and needs only a bounded buffer).
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Error numbers of the HTTP layer, in the program's result space.
constexpr int32_t HTTP_ERROR_INTERNAL = 12004;
constexpr int32_t HTTP_ERROR_TIMEOUT = 12002;
constexpr int32_t HTTP_ERROR_NAME_NOT_RESOLVED = 12007;
constexpr int32_t HTTP_ERROR_INCORRECT_PASSWORD = 12014;
constexpr int32_t HTTP_ERROR_CANCELLED = 12017;
constexpr int32_t HTTP_ERROR_CANNOT_CONNECT = 12029;
constexpr int32_t HTTP_ERROR_CONNECTION_ABORTED = 12030;

// A failure's text is the layer's message for its number, cut as the
// system cuts its messages.
constexpr size_t HTTP_ERROR_TEXT_MAX = 254;

struct HttpError {
  int32_t code = 0;
  std::string text;  // at most HTTP_ERROR_TEXT_MAX bytes
};

class HttpClient {
 public:
  explicit HttpClient(std::string agent) : agent_(std::move(agent)) {}
  const std::string& agent() const { return agent_; }

 private:
  std::string agent_;
};

// The least a transfer must move: `bytes` (body bytes sent or received) in
// every `window` of time spent waiting inside Send or Read. Time between
// calls, while the caller shows a dialog or writes what it got, is not
// counted: the peer is held back then, not slow.
struct HttpFloor {
  uint64_t bytes = 1;
  std::chrono::milliseconds window{60000};
};
// "less than 1 KiB in 30 s"
std::string HttpFloorText(const HttpFloor& floor);

// A request body read as it goes out rather than held in memory. Its length
// is known before the first byte is sent, and an authentication round may
// ask for it again from its start.
class HttpBodySource {
 public:
  virtual ~HttpBodySource() = default;
  virtual uint64_t Size() const = 0;
  // Up to `size` bytes from the current position: the count (0 only once
  // Size() bytes were given), or -1 when the body cannot be had as announced.
  virtual long Read(char* buf, size_t size) = 0;
  // Back to the first byte; false when that is impossible.
  virtual bool Rewind() = 0;
};

struct HttpTarget {
  std::string host;  // dotted decimal text
  uint16_t port = 80;
  std::string user;
  std::string password;
};

class HttpRequest {
 public:
  // method is "GET" or "POST"; pathAndQuery starts with '/'.
  HttpRequest(const HttpClient& client, const HttpTarget& target, std::string method,
              std::string pathAndQuery);
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Sends the request (body only for POST; sent unchanged, also when empty)
  // and waits for the final response status. 0 on success, else err is set.
  int32_t Send(const std::string* body, HttpError& err);
  // The same with a POST body streamed from `body`, which must outlive the
  // request. A source that fails makes Send fail with HTTP_ERROR_INTERNAL;
  // the source knows why.
  int32_t Send(HttpBodySource& body, HttpError& err);
  long Status() const { return status_; }
  // The body length the peer announced, or -1 when it announced none.
  long long ContentLength() const;
  // From now on, at least floor.bytes in every floor.window of waiting; a
  // transfer that falls below fails with HTTP_ERROR_TIMEOUT. Until set, the
  // layer's own floor (one byte a minute) applies.
  void SetFloor(const HttpFloor& floor);
  // Up to `size` body bytes into buf: the count, 0 at the body's end, or -1
  // with err set.
  long Read(char* buf, size_t size, HttpError& err);

  // Any thread: the pending and every later call fails at once with
  // HTTP_ERROR_CANCELLED.
  void Close() { closed_.store(true); }
  bool Closed() const { return closed_.load(); }

 private:
  struct Curl;
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static size_t OnSend(char* data, size_t size, size_t count, void* self);
  static int OnSeek(void* self, long long offset, int origin);
  static int OnProgress(void* self, long long, long long, long long, long long);
  int32_t Start(HttpError& err);
  // Charges `waited` to the floor's window; true when the window ran out
  // with too little moved (the transfer is then over).
  bool BelowFloor(std::chrono::steady_clock::duration waited);
  // Drives the transfer until `ready` holds or it ends; 0 or an error code.
  template <typename Ready>
  int32_t Pump(Ready ready, HttpError& err);
  int32_t Fail(int32_t code, HttpError& err);

  std::atomic<bool> closed_{false};
  std::unique_ptr<Curl> curl_;
  std::string url_;
  std::string method_;
  std::string postBody_;
  std::unique_ptr<HttpBodySource> ownSource_;  // postBody_ as a source
  HttpBodySource* source_ = nullptr;           // the POST body, if any
  bool sourceFailed_ = false;
  HttpFloor floor_;
  uint64_t moved_ = 0;           // body bytes received and sent so far
  uint64_t windowStart_ = 0;     // moved_ when the floor's window began
  std::chrono::steady_clock::duration waited_{};  // waiting in this window
  std::string buffer_;      // body bytes received and not yet read
  size_t bufferPos_ = 0;
  bool bodyStarted_ = false;
  bool paused_ = false;
  bool done_ = false;
  int doneCode_ = 0;        // CURLcode of the finished transfer
  long status_ = 0;
  char curlError_[256] = {};
};
