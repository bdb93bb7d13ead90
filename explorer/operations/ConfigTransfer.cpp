#include "explorer/operations/ConfigTransfer.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "explorer/operations/HttpClient.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/res/Strings.h"

namespace {

// The body goes to the file through one fixed buffer, whatever its size;
// pieces of 64 KiB keep a large configuration as fast as the wire.
constexpr size_t kPiece = 64 * 1024;
constexpr size_t kMaxErrorText = 510;
constexpr size_t kMaxUploadAnswer = 255;
// Cancel is noticed within one slice while a reader keeps a pipe full.
constexpr int kWriteSliceMs = 50;
// As the system follows links: a longer chain is a loop.
constexpr int kMaxLinkHops = 40;
// Tries at a free temporary name before giving up.
constexpr int kTempNameTries = 64;
constexpr const char* kStandardOutputName = "standard output";

// A descriptor of the program's own, closed on every way out.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes it now, for the caller to see the result.
  int Close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 ? 0 : ::close(fd);
  }

 private:
  int fd_ = -1;
};

// Removes the partly written file unless the transfer got to the end.
class TempFileGuard {
 public:
  TempFileGuard() = default;
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  void Set(std::string path) { path_ = std::move(path); }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

// A pipe whose reader is gone answers a write with SIGPIPE, which would end
// the whole program: while one lives the calling thread holds the signal
// back, and one that came of its own writes is taken away unseen.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    held_ = ::pthread_sigmask(SIG_BLOCK, &pipe, &previous_) == 0;
  }
  ~SigpipeHeld() {
    if (!held_) return;
    sigset_t pending;
    if (!sigismember(&previous_, SIGPIPE) && ::sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE)) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      const timespec now{0, 0};
      ::sigtimedwait(&pipe, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  sigset_t previous_{};
  bool held_ = false;
};

// Publishes and later withdraws q.request; the request itself may outlive
// the withdrawal in the hands of a Cancel that is closing it.
class PublishedRequest {
 public:
  PublishedRequest(CQuillbox& q, std::shared_ptr<HttpRequest> request)
      : q_(q), request_(std::move(request)) {
    std::lock_guard<std::recursive_mutex> guard(q_.lock);
    q_.request = request_;
  }
  ~PublishedRequest() {
    std::lock_guard<std::recursive_mutex> guard(q_.lock);
    q_.request.reset();
  }
  HttpRequest& operator*() const { return *request_; }
  HttpRequest* operator->() const { return request_.get(); }

 private:
  CQuillbox& q_;
  std::shared_ptr<HttpRequest> request_;
};

int32_t FileFailure(CQuillbox& q, int cause, const std::string& path) {
  q.errorText = FileErrorText(cause, path);
  return cause;
}

int32_t Failure(CQuillbox& q, int32_t code, std::string text) {
  if (text.size() > kMaxErrorText) text.resize(kMaxErrorText);
  q.errorText = std::move(text);
  return code;
}

HttpTarget TargetOf(const CQuillbox& q) {
  HttpTarget t;
  t.host = FormatIp(q.record ? q.record->ip() : 0);
  t.port = CONFIG_HTTP_PORT;
  t.user = AdministratorUser();
  t.password = q.password;
  return t;
}

// Waits until fd takes bytes again, in slices that watch for a Cancel: 0,
// ECANCELED once the request is closed, or the failure's errno.
int WaitWritable(int fd, const HttpRequest& request) {
  for (;;) {
    if (request.Closed()) return ECANCELED;
    pollfd p{fd, POLLOUT, 0};
    int n = ::poll(&p, 1, kWriteSliceMs);
    if (n < 0 && errno != EINTR) return errno;
    // An error or hang-up is the write's to report.
    if (n > 0) return 0;
  }
}

// Every byte, or the failure's errno (ECANCELED once the request is
// closed). A descriptor that may block is only written what it can take
// at once, so a reader that stops reading cannot hold the worker beyond a
// Cancel.
int WriteAll(int fd, const char* data, size_t size, const HttpRequest& request, bool mayBlock) {
  while (size > 0) {
    size_t chunk = size;
    if (mayBlock) {
      if (int e = WaitWritable(fd, request)) return e;
      chunk = std::min<size_t>(size, PIPE_BUF);
    }
    ssize_t n = ::write(fd, data, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (int e = WaitWritable(fd, request)) return e;
        continue;
      }
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

// The name a chain of symbolic links finally leads to (the path itself when
// it is none; the missing name a dangling link points at). 0 or an errno.
int FinalName(const std::string& path, std::string& out) {
  std::string p = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      out = p;
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) {
      out = p;
      return 0;
    }
    char buf[PATH_MAX];
    ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
    if (n < 0) return errno;
    if (static_cast<size_t>(n) >= sizeof buf) return ENAMETOOLONG;
    if (n == 0) return ENOENT;
    std::string link(buf, static_cast<size_t>(n));
    if (link[0] == '/') {
      p = link;
    } else {
      size_t slash = p.rfind('/');
      p = (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + link;
    }
  }
  return ELOOP;
}

// A new file beside `target`, made with the mode a new file gets (0666 less
// the umask, or the folder's default ACL); the kernel applies it, so no
// thread has to touch the process's umask. fd < 0 and errno on failure.
int CreateBeside(const std::string& target, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (static_cast<uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    std::string name = target + ".";
    for (int i = 0; i < 6; ++i) {
      name += kLetters[seed % (sizeof kLetters - 1)];
      seed /= sizeof kLetters - 1;
    }
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      tempPath = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

// Where the retrieved body goes: a file made beside the one it replaces
// (or creates), or a pipe or device written where it is.
struct Destination {
  std::string shownName;   // the name the texts give
  UniqueFd own;            // the descriptor, unless it is standard output
  int fd = -1;
  bool inPlace = false;
  bool mayBlock = false;   // a pipe or device that a slow reader can fill
  bool wrote = false;      // something reached an in-place destination
  TempFileGuard temp;
  std::string tempPath;
  std::string target;      // the name replaced or created
  bool replacing = false;
  struct stat replaced {};  // the file replaced, as it was found
};

std::string NotStored(const Destination& d) {
  if (d.inPlace && d.wrote) return "; what was written to " + d.shownName + " is incomplete";
  return "; the configuration was not stored";
}

int32_t OpenInPlace(CQuillbox& q, const std::string& path, const struct stat& found, Destination& d) {
  // A name that is no link must not turn into one on the way; through a
  // link, the descriptor is checked to be what the name led to.
  struct stat link {};
  const bool viaLink = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (viaLink ? 0 : O_NOFOLLOW);
  d.own.Reset(::open(path.c_str(), flags));
  if (d.own.Get() < 0) {
    if (errno == ENXIO && S_ISFIFO(found.st_mode))
      return Failure(q, CONFIG_ERROR_NO_READER,
                     "No program reads from " + path + "; the configuration was not stored");
    return FileFailure(q, FileErrorCause(errno, true), path);
  }
  struct stat opened {};
  if (::fstat(d.own.Get(), &opened) != 0 || opened.st_dev != found.st_dev ||
      opened.st_ino != found.st_ino || !(S_ISFIFO(opened.st_mode) || S_ISCHR(opened.st_mode)))
    return FileFailure(q, 5, path);
  d.fd = d.own.Get();
  d.inPlace = true;
  d.mayBlock = false;  // non-blocking: a full pipe answers EAGAIN
  return 0;
}

// Finds where the body of a store to `path` goes and opens it; 0 or a
// failure with q.errorText set.
int32_t OpenDestination(CQuillbox& q, const std::string& path, Destination& d) {
  if (path == CONFIG_STANDARD_OUTPUT) {
    d.shownName = kStandardOutputName;
    d.fd = STDOUT_FILENO;
    d.inPlace = true;
    // Shared with whoever started the program: its blocking mode is theirs.
    d.mayBlock = true;
    return 0;
  }
  d.shownName = path;
  struct stat found {};
  const bool exists = ::stat(path.c_str(), &found) == 0;
  if (!exists && errno != ENOENT) return FileFailure(q, FileErrorCause(errno, true), path);
  if (exists && (S_ISFIFO(found.st_mode) || S_ISCHR(found.st_mode))) return OpenInPlace(q, path, found, d);
  // A folder, a block device or a socket is no place for a configuration.
  if (exists && !S_ISREG(found.st_mode)) return FileFailure(q, 5, path);

  // A link is followed to the file it names, which is replaced beside its
  // own folder's entries, so the link stays a link.
  if (int e = FinalName(path, d.target)) return FileFailure(q, FileErrorCause(e, true), path);
  d.replacing = ::lstat(d.target.c_str(), &d.replaced) == 0;
  if (!d.replacing && errno != ENOENT) return FileFailure(q, FileErrorCause(errno, true), path);
  if (d.replacing != exists) return FileFailure(q, 5, path);
  if (d.replacing && (!S_ISREG(d.replaced.st_mode) || d.replaced.st_dev != found.st_dev ||
                      d.replaced.st_ino != found.st_ino))
    return FileFailure(q, 5, path);
  // Replacing by rename needs only the folder's permission: a file the
  // user may not write is refused as writing it in place would be.
  if (d.replacing && ::access(d.target.c_str(), W_OK) != 0)
    return FileFailure(q, FileErrorCause(errno, true), path);

  d.own.Reset(CreateBeside(d.target, d.tempPath));
  if (d.own.Get() < 0) return FileFailure(q, FileErrorCause(errno, true), path);
  d.temp.Set(d.tempPath);
  d.fd = d.own.Get();
  if (d.replacing) {
    // The new file belongs to whom the old one did, where that is allowed
    // (a user cannot give a file away; it is then the user's).
    if ((d.replaced.st_uid != ::geteuid() || d.replaced.st_gid != ::getegid()) &&
        ::fchown(d.fd, d.replaced.st_uid, d.replaced.st_gid) != 0 && errno != EPERM)
      return FileFailure(q, FileErrorCause(errno, true), path);
    // Only the permission bits: a set-user-ID, set-group-ID or sticky bit
    // would turn the device's bytes into a program that runs as the owner.
    if (::fchmod(d.fd, d.replaced.st_mode & 0777) != 0)
      return FileFailure(q, FileErrorCause(errno, true), path);
  }
  return 0;
}

// The body has arrived whole: the file takes the place of the old one.
int32_t FinishDestination(CQuillbox& q, const HttpRequest& request, Destination& d) {
  if (d.own.Close() != 0) return FileFailure(q, FileErrorCause(errno, true), d.shownName);
  if (request.Closed()) return HTTP_ERROR_CANCELLED;
  if (d.inPlace) return 0;
  // What was checked at the start must still be there: a name that became
  // something else meanwhile is not replaced.
  struct stat now {};
  const bool present = ::lstat(d.target.c_str(), &now) == 0;
  if (present != d.replacing ||
      (present && (!S_ISREG(now.st_mode) || now.st_dev != d.replaced.st_dev ||
                   now.st_ino != d.replaced.st_ino)))
    return FileFailure(q, 5, d.shownName);
  if (::rename(d.tempPath.c_str(), d.target.c_str()) != 0)
    return FileFailure(q, FileErrorCause(errno, true), d.shownName);
  d.temp.Release();
  return 0;
}

int32_t TooLarge(CQuillbox& q, const Destination* d) {
  return Failure(q, CONFIG_ERROR_TOO_LARGE,
                 "The device sent more than " + std::to_string(CONFIG_MAX_BYTES / (1024 * 1024)) + " MiB" +
                     (d ? NotStored(*d) : std::string("; the configuration was not stored")));
}

// The body goes into a new file beside the target, which replaces the
// target only once every byte has arrived: a failed or cancelled retrieve
// leaves the user's existing file as it was.
int32_t StoreBody(CQuillbox& q, HttpRequest& request, const StoreFileAsker& ask,
                  const HttpFloor& floor) {
  // Refused before anybody is asked where to put it.
  const long long announced = request.ContentLength();
  if (announced >= 0 && static_cast<uint64_t>(announced) > CONFIG_MAX_BYTES) return TooLarge(q, nullptr);
  std::optional<std::string> chosen = ask(StoreDialogRequest(q.configPath), request);
  if (!chosen || request.Closed()) return HTTP_ERROR_CANCELLED;
  q.configPath = *chosen;
  const std::string& path = q.configPath;
  q.errorText.clear();

  Destination d;
  if (int32_t rc = OpenDestination(q, path, d)) return rc;
  SigpipeHeld sigpipe;
  // The floor counts from here: the dialog's time was the user's.
  request.SetFloor(floor);
  char piece[kPiece];
  uint64_t total = 0;
  for (;;) {
    HttpError err;
    long n = request.Read(piece, sizeof piece, err);
    if (n < 0) {
      if (err.code == HTTP_ERROR_TIMEOUT)
        return Failure(q, err.code, "The device sent " + HttpFloorText(floor) + NotStored(d));
      q.errorText = err.text;
      return err.code;
    }
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    if (total > CONFIG_MAX_BYTES) return TooLarge(q, &d);
    int e = WriteAll(d.fd, piece, static_cast<size_t>(n), request, d.mayBlock);
    if (e == ECANCELED) return HTTP_ERROR_CANCELLED;
    if (e == EPIPE)
      return Failure(q, CONFIG_ERROR_NO_READER,
                     "No program reads from " + d.shownName + " any more" + NotStored(d));
    if (e != 0) return FileFailure(q, FileErrorCause(e, true), d.shownName);
    d.wrote = true;
  }
  return FinishDestination(q, request, d);
}

// The upload's file, read as it is sent. It must be a regular file, and
// stay as long as it was when the request announced its length: a file
// that shrinks or grows meanwhile ends the upload before its last byte, so
// the device never takes a cut or mixed file for a whole one.
class FileBodySource final : public HttpBodySource {
 public:
  // 0, or the failure with q.errorText set; nothing is sent then.
  int32_t Open(CQuillbox& q, const std::string& path) {
    path_ = path;
    // Not blocking in open: a pipe without a writer would hold the worker
    // (and any Cancel or close waiting for it) for good.
    fd_.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd_.Get() < 0) return FileFailure(q, FileErrorCause(errno, false), path);
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return FileFailure(q, 5, path);
    size_ = static_cast<uint64_t>(st.st_size);
    return 0;
  }

  uint64_t Size() const override { return size_; }

  long Read(char* buf, size_t size) override {
    const uint64_t left = size_ - at_;
    if (left == 0) return 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, left));
    ssize_t n;
    do n = ::pread(fd_.Get(), buf, want, static_cast<off_t>(at_));
    while (n < 0 && errno == EINTR);
    if (n < 0) return Broken(errno);
    if (n == 0) return Broken(0);
    at_ += static_cast<uint64_t>(n);
    if (at_ == size_) {
      char more;
      ssize_t extra;
      do extra = ::pread(fd_.Get(), &more, 1, static_cast<off_t>(size_));
      while (extra < 0 && errno == EINTR);
      if (extra < 0) return Broken(errno);
      if (extra > 0) return Broken(0);
    }
    return static_cast<long>(n);
  }

  bool Rewind() override {
    at_ = 0;
    return true;
  }

  // After a failed send: whether the file was the cause, and then its text.
  bool Failed() const { return failed_; }
  int32_t Report(CQuillbox& q) const {
    if (error_ != 0) return FileFailure(q, FileErrorCause(error_, false), path_);
    return Failure(q, CONFIG_ERROR_FILE_CHANGED,
                   path_ + " changed while it was being sent; the upload was ended");
  }

 private:
  long Broken(int error) {
    failed_ = true;
    error_ = error;
    return -1;
  }

  std::string path_;
  UniqueFd fd_;
  uint64_t size_ = 0;
  uint64_t at_ = 0;
  bool failed_ = false;
  int error_ = 0;  // 0: the size changed
};

}  // namespace

int FileErrorCause(int e, bool creating) {
  switch (e) {
    case ENOENT:
      return creating ? 3 : 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
    case ELOOP:
      return 3;
    case EMFILE:
    case ENFILE:
      return 4;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return 5;
    case EBADF:
      return 6;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return 13;
    case EIO:
      return 10;
    case ETXTBSY:
      return 11;
    default:
      return 1;
  }
}

std::string FileErrorText(int cause, const std::string& path) {
  static const char* const kTexts[] = {
      "An unknown error occurred while accessing %1.",
      "%1 was not found.",
      "%1 contains an invalid path.",
      "%1 could not be opened because there are too many open files.",
      "Access to %1 was denied.",
      "An invalid file handle was associated with %1.",
      "%1 could not be removed because it is the current directory.",
      "%1 could not be created because the directory is full.",
      "Seek failed on %1",
      "A hardware I/O error was reported while accessing %1.",
      "A sharing violation occurred while accessing %1.",
      "A locking violation occurred while accessing %1.",
      "Disk full while accessing %1.",
      "An attempt was made to access %1 past its end.",
  };
  if (cause < 1 || cause > 14) cause = 1;
  std::string text = kTexts[cause - 1];
  auto at = text.find("%1");
  text.replace(at, 2, path);
  if (text.size() > kMaxErrorText) text.resize(kMaxErrorText);
  return text;
}

std::string AdministratorUser() {
  std::string user = LoadBrandString(IDS_ADMIN_USER);
  std::transform(user.begin(), user.end(), user.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return user;
}

FileDialogRequest StoreDialogRequest(const std::string& initialPath) {
  FileDialogRequest r;
  r.save = true;
  r.title = CONFIG_STORE_TITLE;
  r.filter = CONFIG_FILTER;
  r.initialPath = initialPath;
  r.defaultSuffix = "txt";
  return r;
}

FileDialogRequest LoadDialogRequest(const std::string& initialPath) {
  FileDialogRequest r = StoreDialogRequest(initialPath);
  r.title = CONFIG_LOAD_TITLE;
  return r;
}

int32_t RetrieveConfigurationWorker(CQuillbox& q, const StoreFileAsker& ask, const HttpFloor& floor) {
  PublishedRequest request(
      q, std::make_shared<HttpRequest>(q.httpClient, TargetOf(q), "GET", CONFIG_RETRIEVE_PATH));
  HttpError err;
  if (request->Send(nullptr, err) != 0) {
    q.errorText = err.text;
    return err.code;
  }
  long status = request->Status();
  if (status != 200) {
    q.errorText = ErrorText(static_cast<int32_t>(status));
    return static_cast<int32_t>(status);
  }
  return StoreBody(q, *request, ask, floor);
}

int32_t UploadConfigurationWorker(CQuillbox& q) {
  PublishedRequest request(
      q, std::make_shared<HttpRequest>(q.httpClient, TargetOf(q), "POST", CONFIG_UPLOAD_PATH));
  // Sent exactly as stored: a zero byte in the file is data, not an end.
  FileBodySource body;
  if (int32_t rc = body.Open(q, q.configPath)) return rc;
  HttpError err;
  if (request->Send(body, err) != 0) {
    if (body.Failed() && !request->Closed()) return body.Report(q);
    q.errorText = err.text;
    return err.code;
  }
  long status = request->Status();
  if (status == 200) return 0;
  if (status == 400) {
    std::string answer;
    char buf[kMaxUploadAnswer];
    while (answer.size() < kMaxUploadAnswer) {
      long n = request->Read(buf, kMaxUploadAnswer - answer.size(), err);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
    if (request->Closed()) {
      q.errorText = "The operation was canceled";
      return HTTP_ERROR_CANCELLED;
    }
    answer = answer.substr(0, answer.find('\0'));
    q.errorText = std::string(CONFIG_UPLOAD_ERROR) + "\n\n" + answer;
    return 400;
  }
  q.errorText = CONFIG_UPLOAD_NOT_SUPPORTED;
  return static_cast<int32_t>(status);
}
