#include "explorer/operations/ConfigTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
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

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Removes the partly written file unless the transfer got to the end.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void Release() { path_.clear(); }

 private:
  std::string path_;
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

HttpTarget TargetOf(const CQuillbox& q) {
  HttpTarget t;
  t.host = FormatIp(q.record ? q.record->ip() : 0);
  t.port = CONFIG_HTTP_PORT;
  t.user = AdministratorUser();
  t.password = q.password;
  return t;
}

// The body goes into a new file beside the target, which replaces the
// target only once every byte has arrived: a failed or cancelled retrieve
// leaves the user's existing file as it was.
int32_t StoreBody(CQuillbox& q, HttpRequest& request, const StoreFileAsker& ask) {
  std::optional<std::string> chosen = ask(StoreDialogRequest(q.configPath), request);
  if (!chosen || request.Closed()) return HTTP_ERROR_CANCELLED;
  q.configPath = *chosen;
  const std::string& path = q.configPath;
  q.errorText.clear();

  struct stat existing {};
  bool exists = ::stat(path.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) return FileFailure(q, 5, path);
  // Replacing by rename needs only the folder's permission: a file the
  // user may not write is refused as writing it in place would be.
  if (exists && ::access(path.c_str(), W_OK) != 0)
    return FileFailure(q, FileErrorCause(errno, true), path);

  std::string tempPath = path + ".XXXXXX";
  int fd = ::mkstemp(tempPath.data());
  if (fd < 0) return FileFailure(q, FileErrorCause(errno, true), path);
  TempFileGuard guard(tempPath);
  mode_t mode;
  if (exists) {
    mode = existing.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  ::fchmod(fd, mode);
  FilePtr file(::fdopen(fd, "wb"));
  if (!file) {
    int e = errno;
    ::close(fd);
    return FileFailure(q, FileErrorCause(e, true), path);
  }
  std::setvbuf(file.get(), nullptr, _IOFBF, 64 * 1024);

  char piece[kPiece];
  for (;;) {
    HttpError err;
    long n = request.Read(piece, sizeof piece, err);
    if (n < 0) {
      q.errorText = err.text;
      return err.code;
    }
    if (n == 0) break;
    if (std::fwrite(piece, 1, static_cast<size_t>(n), file.get()) != static_cast<size_t>(n))
      return FileFailure(q, FileErrorCause(errno, true), path);
  }
  if (std::fflush(file.get()) != 0) return FileFailure(q, FileErrorCause(errno, true), path);
  if (std::fclose(file.release()) != 0) return FileFailure(q, FileErrorCause(errno, true), path);
  if (request.Closed()) return HTTP_ERROR_CANCELLED;
  if (::rename(tempPath.c_str(), path.c_str()) != 0)
    return FileFailure(q, FileErrorCause(errno, true), path);
  guard.Release();
  return 0;
}

// The whole file, byte for byte (zero bytes included).
int32_t ReadWholeFile(CQuillbox& q, const std::string& path, std::string& out) {
  // Not blocking in open: a pipe without a writer would hold the worker
  // (and any Cancel or close waiting for it) for good.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return FileFailure(q, FileErrorCause(errno, false), path);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return FileFailure(q, 5, path);
  }
  FilePtr file(::fdopen(fd, "rb"));
  if (!file) {
    int e = errno;
    ::close(fd);
    return FileFailure(q, FileErrorCause(e, false), path);
  }
  char buf[64 * 1024];
  for (;;) {
    size_t n = std::fread(buf, 1, sizeof buf, file.get());
    out.append(buf, n);
    if (n < sizeof buf) {
      if (std::ferror(file.get())) return FileFailure(q, FileErrorCause(errno, false), path);
      break;
    }
  }
  return 0;
}

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

int32_t RetrieveConfigurationWorker(CQuillbox& q, const StoreFileAsker& ask) {
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
  return StoreBody(q, *request, ask);
}

int32_t UploadConfigurationWorker(CQuillbox& q) {
  PublishedRequest request(
      q, std::make_shared<HttpRequest>(q.httpClient, TargetOf(q), "POST", CONFIG_UPLOAD_PATH));
  // Sent exactly as stored: a zero byte in the file is data, not an end.
  std::string body;
  if (int32_t rc = ReadWholeFile(q, q.configPath, body)) return rc;
  HttpError err;
  if (request->Send(&body, err) != 0) {
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
