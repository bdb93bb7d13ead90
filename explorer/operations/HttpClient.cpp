#include "explorer/operations/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The body is held back (transfer paused) once this much waits unread.
constexpr size_t kMaxBuffered = 256 * 1024;
// Cancel is noticed within one slice even when the peer is silent.
constexpr int kPollSliceMs = 50;
// The layer's own limits, in the spirit of a desktop HTTP stack: a peer that
// neither connects nor moves a byte for a minute is given up. The stall is
// watched here rather than by libcurl's low-speed check, whose clock runs
// on while the caller holds the transfer (a dialog left open for minutes
// would count against the peer).
constexpr long kConnectTimeoutS = 60;
constexpr HttpFloor kLayerFloor{1, std::chrono::seconds(60)};

// A body held in memory, given out as a source like any other.
class StringSource final : public HttpBodySource {
 public:
  explicit StringSource(const std::string& body) : body_(body) {}
  uint64_t Size() const override { return body_.size(); }
  long Read(char* buf, size_t size) override {
    size_t n = std::min(size, body_.size() - at_);
    std::memcpy(buf, body_.data() + at_, n);
    at_ += n;
    return static_cast<long>(n);
  }
  bool Rewind() override {
    at_ = 0;
    return true;
  }

 private:
  const std::string& body_;
  size_t at_ = 0;
};

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CodeText {
  int32_t code;
  const char* text;
};

CodeText Translate(CURLcode rc) {
  switch (rc) {
    case CURLE_ABORTED_BY_CALLBACK:
      return {HTTP_ERROR_CANCELLED, "The operation was canceled"};
    case CURLE_OPERATION_TIMEDOUT:
      return {HTTP_ERROR_TIMEOUT, "The operation timed out"};
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return {HTTP_ERROR_NAME_NOT_RESOLVED, "The server name or address could not be resolved"};
    case CURLE_COULDNT_CONNECT:
      return {HTTP_ERROR_CANNOT_CONNECT, "A connection with the server could not be established"};
    case CURLE_LOGIN_DENIED:
      return {HTTP_ERROR_INCORRECT_PASSWORD, "The password is incorrect"};
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
      return {HTTP_ERROR_CONNECTION_ABORTED, "The connection with the server was terminated abnormally"};
    default:
      return {HTTP_ERROR_INTERNAL, "An internal error occurred in the HTTP layer"};
  }
}

}  // namespace

struct HttpRequest::Curl {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headers = nullptr;
  bool added = false;
  ~Curl() {
    if (added) curl_multi_remove_handle(multi, easy);
    if (multi) curl_multi_cleanup(multi);
    if (easy) curl_easy_cleanup(easy);
    if (headers) curl_slist_free_all(headers);
  }
};

std::string HttpFloorText(const HttpFloor& floor) {
  const uint64_t b = floor.bytes;
  std::string bytes = b >= 1024 && b % 1024 == 0 ? std::to_string(b / 1024) + " KiB"
                                                 : std::to_string(b) + (b == 1 ? " byte" : " bytes");
  const long long ms = floor.window.count();
  std::string window = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  return "less than " + bytes + " in " + window;
}

HttpRequest::HttpRequest(const HttpClient& client, const HttpTarget& target, std::string method,
                         std::string pathAndQuery)
    : curl_(std::make_unique<Curl>()), method_(std::move(method)), floor_(kLayerFloor) {
  GlobalInit();
  url_ = "http://" + target.host + ":" + std::to_string(target.port) + pathAndQuery;
  curl_->easy = curl_easy_init();
  curl_->multi = curl_multi_init();
  CURL* e = curl_->easy;
  if (!e || !curl_->multi) return;
  curl_easy_setopt(e, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(e, CURLOPT_USERAGENT, client.agent().c_str());
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(e, CURLOPT_USERNAME, target.user.c_str());
  curl_easy_setopt(e, CURLOPT_PASSWORD, target.password.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 128L * 1024L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, curlError_);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &HttpRequest::OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &HttpRequest::OnProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
}

HttpRequest::~HttpRequest() = default;

size_t HttpRequest::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* r = static_cast<HttpRequest*>(self);
  if (r->closed_.load()) return 0;
  if (r->buffer_.size() - r->bufferPos_ >= kMaxBuffered) {
    r->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r->bufferPos_ == r->buffer_.size()) {
    r->buffer_.clear();
    r->bufferPos_ = 0;
  }
  r->buffer_.append(data, size * count);
  r->bodyStarted_ = true;
  r->moved_ += size * count;
  return size * count;
}

size_t HttpRequest::OnSend(char* data, size_t size, size_t count, void* self) {
  auto* r = static_cast<HttpRequest*>(self);
  if (r->closed_.load() || !r->source_) return CURL_READFUNC_ABORT;
  long n = r->source_->Read(data, size * count);
  if (n < 0) {
    r->sourceFailed_ = true;
    return CURL_READFUNC_ABORT;
  }
  r->moved_ += static_cast<uint64_t>(n);
  return static_cast<size_t>(n);
}

int HttpRequest::OnSeek(void* self, long long offset, int origin) {
  auto* r = static_cast<HttpRequest*>(self);
  if (!r->source_ || offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  if (r->source_->Rewind()) return CURL_SEEKFUNC_OK;
  r->sourceFailed_ = true;
  return CURL_SEEKFUNC_FAIL;
}

int HttpRequest::OnProgress(void* self, long long, long long, long long, long long) {
  return static_cast<HttpRequest*>(self)->closed_.load() ? 1 : 0;
}

int32_t HttpRequest::Fail(int32_t code, HttpError& err) {
  err.code = code;
  if (code == HTTP_ERROR_CANCELLED) {
    err.text = "The operation was canceled";
    return code;
  }
  if (sourceFailed_) {
    err.text = "The request's body could not be read";
    return code;
  }
  CodeText t = Translate(static_cast<CURLcode>(doneCode_));
  err.text = t.text;
  // The detail names the host and whatever the peer sent: it is cut with
  // the rest, and never inside a character.
  if (curlError_[0]) err.text += std::string(" (") + curlError_ + ")";
  if (err.text.size() > HTTP_ERROR_TEXT_MAX) {
    size_t cut = HTTP_ERROR_TEXT_MAX;
    while (cut > 0 && (static_cast<unsigned char>(err.text[cut]) & 0xC0) == 0x80) --cut;
    err.text.resize(cut);
  }
  return code;
}

void HttpRequest::SetFloor(const HttpFloor& floor) {
  floor_ = floor;
  windowStart_ = moved_;
  waited_ = {};
}

bool HttpRequest::BelowFloor(std::chrono::steady_clock::duration waited) {
  if (moved_ - windowStart_ >= floor_.bytes) {
    windowStart_ = moved_;
    waited_ = {};
    return false;
  }
  waited_ += waited;
  if (waited_ < floor_.window) return false;
  doneCode_ = CURLE_OPERATION_TIMEDOUT;
  std::snprintf(curlError_, sizeof curlError_, "%s", HttpFloorText(floor_).c_str());
  done_ = true;
  return true;
}

template <typename Ready>
int32_t HttpRequest::Pump(Ready ready, HttpError& err) {
  auto last = std::chrono::steady_clock::now();
  while (!ready() && !done_) {
    if (closed_.load()) return Fail(HTTP_ERROR_CANCELLED, err);
    const auto now = std::chrono::steady_clock::now();
    if (BelowFloor(now - last)) break;
    last = now;
    int running = 0;
    if (curl_multi_perform(curl_->multi, &running) != CURLM_OK) {
      doneCode_ = CURLE_FAILED_INIT;
      done_ = true;
      break;
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(curl_->multi, &left)) {
      if (msg->msg == CURLMSG_DONE) {
        done_ = true;
        doneCode_ = msg->data.result;
      }
    }
    if (ready() || done_) break;
    curl_multi_poll(curl_->multi, nullptr, 0, kPollSliceMs, nullptr);
  }
  if (closed_.load()) return Fail(HTTP_ERROR_CANCELLED, err);
  return 0;
}

int32_t HttpRequest::Send(const std::string* body, HttpError& err) {
  if (method_ != "POST") {
    source_ = nullptr;
    return Start(err);
  }
  postBody_ = body ? *body : std::string();
  ownSource_ = std::make_unique<StringSource>(postBody_);
  return Send(*ownSource_, err);
}

int32_t HttpRequest::Send(HttpBodySource& body, HttpError& err) {
  source_ = &body;
  return Start(err);
}

long long HttpRequest::ContentLength() const {
  curl_off_t length = -1;
  if (!curl_->easy || curl_easy_getinfo(curl_->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
    return -1;
  return length;
}

int32_t HttpRequest::Start(HttpError& err) {
  if (!curl_->easy || !curl_->multi) {
    doneCode_ = CURLE_FAILED_INIT;
    return Fail(HTTP_ERROR_INTERNAL, err);
  }
  CURL* e = curl_->easy;
  if (method_ == "POST" && source_) {
    // Read as it goes out, with its length announced, so zero bytes travel;
    // the seek lets an authentication round send it again.
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(source_->Size()));
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &HttpRequest::OnSend);
    curl_easy_setopt(e, CURLOPT_READDATA, this);
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &HttpRequest::OnSeek);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
    // No header fields of our own: drop curl's form content type.
    curl_->headers = curl_slist_append(curl_->headers, "Content-Type:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, curl_->headers);
  } else {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  }
  if (curl_multi_add_handle(curl_->multi, e) != CURLM_OK) {
    doneCode_ = CURLE_FAILED_INIT;
    return Fail(HTTP_ERROR_INTERNAL, err);
  }
  curl_->added = true;
  if (int32_t rc = Pump([this] { return bodyStarted_; }, err)) return rc;
  if (sourceFailed_) return Fail(HTTP_ERROR_INTERNAL, err);
  if (done_ && doneCode_ != CURLE_OK && !bodyStarted_) {
    return Fail(Translate(static_cast<CURLcode>(doneCode_)).code, err);
  }
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status_);
  if (status_ == 0) {
    doneCode_ = CURLE_GOT_NOTHING;
    return Fail(HTTP_ERROR_CONNECTION_ABORTED, err);
  }
  return 0;
}

long HttpRequest::Read(char* buf, size_t size, HttpError& err) {
  if (closed_.load()) {
    Fail(HTTP_ERROR_CANCELLED, err);
    return -1;
  }
  if (bufferPos_ == buffer_.size() && !done_) {
    if (paused_) {
      paused_ = false;
      curl_easy_pause(curl_->easy, CURLPAUSE_CONT);
    }
    if (Pump([this] { return bufferPos_ < buffer_.size(); }, err)) return -1;
  }
  size_t avail = buffer_.size() - bufferPos_;
  if (avail == 0) {
    if (done_ && doneCode_ != CURLE_OK) {
      Fail(Translate(static_cast<CURLcode>(doneCode_)).code, err);
      return -1;
    }
    return 0;
  }
  size_t n = avail < size ? avail : size;
  std::memcpy(buf, buffer_.data() + bufferPos_, n);
  bufferPos_ += n;
  return static_cast<long>(n);
}
