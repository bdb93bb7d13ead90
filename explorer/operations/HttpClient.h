#pragma once
// HTTP layer on libcurl. One HttpClient per device (its user agent); one
// HttpRequest per transfer. The request is pull-driven: Send() returns once
// the final status is known, Read() then hands out the body piece by piece,
// so a caller may pause between the status and the body (the transfer is
// held paused meanwhile and needs only a bounded buffer).
#include <atomic>
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
  long Status() const { return status_; }
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
  static int OnProgress(void* self, long long, long long, long long, long long);
  // Drives the transfer until `ready` holds or it ends; 0 or an error code.
  template <typename Ready>
  int32_t Pump(Ready ready, HttpError& err);
  int32_t Fail(int32_t code, HttpError& err);

  std::atomic<bool> closed_{false};
  std::unique_ptr<Curl> curl_;
  std::string url_;
  std::string method_;
  std::string postBody_;
  std::string buffer_;      // body bytes received and not yet read
  size_t bufferPos_ = 0;
  bool bodyStarted_ = false;
  bool paused_ = false;
  bool done_ = false;
  int doneCode_ = 0;        // CURLcode of the finished transfer
  long status_ = 0;
  char curlError_[256] = {};
};
