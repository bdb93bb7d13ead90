#include "TftpStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <utility>

namespace quillbox {
namespace {

constexpr size_t kReadAhead = 256 * 1024;
// Links followed in one lookup, as many as the system's own lookup allows.
constexpr int kMaxLinks = 40;
// How a served file is opened: never blocking (a FIFO), never becoming our
// terminal.
constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

bool RealPath(const std::string& path, std::string* out) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return false;
  *out = resolved;
  return true;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Owns a descriptor while a lookup walks.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> parts;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    if (end > begin) parts.push_back(path.substr(begin, end - begin));
    begin = end + 1;
  }
  // A final slash asks for a folder, as in the kernel's lookup: "fw.pak/"
  // is no name of the file fw.pak.
  if (!path.empty() && path.back() == '/') parts.push_back(".");
  return parts;
}

// openat2 with RESOLVE_BENEATH, called directly where the C library has no
// wrapper for it. A descriptor, or minus the errno value.
int OpenBeneath(int dirFd, const std::string& path) {
#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
  open_how how{};
  how.flags = kFileFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename anywhere on the system during the lookup kept it
    // from being sure that ".." stayed below; worth another try.
    if (errno != EAGAIN && errno != EINTR) return -errno;
  }
  return -EAGAIN;
#else
  (void)dirFd;
  (void)path;
  return -ENOSYS;
#endif
}

// Whether each folder entered on a walk still has the one before it (the
// served folder for the first) as its parent: one moved out of the folder
// meanwhile would lead outside.
bool StillBelow(int rootFd, const std::vector<Descriptor>& entered) {
  struct stat expected {};
  if (::fstat(rootFd, &expected) != 0) return false;
  for (const Descriptor& dir : entered) {
    struct stat parent {};
    if (::fstatat(dir.Get(), "..", &parent, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(parent, expected)) return false;
    if (::fstat(dir.Get(), &expected) != 0) return false;
  }
  return true;
}

}  // namespace

int TftpFileStream::Adopt(int fd, std::unique_ptr<TftpFileStream>* out) {
  Descriptor owned(fd);
  struct stat st {};
  if (::fstat(owned.Get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  *out = std::make_unique<TftpFileStream>(OwnKey{}, owned.Release());
  return 0;
}

TftpFileStream::TftpFileStream(OwnKey, int fd) : fd_(fd) {}

TftpFileStream::~TftpFileStream() { Close(); }

void TftpFileStream::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int TftpFileStream::Read(uint8_t* buffer, size_t size, size_t* got) {
  *got = 0;
  if (fd_ < 0) return EBADF;
  while (*got < size) {
    if (begin_ == end_) {
      if (eof_) break;
      if (buffer_.empty()) buffer_.resize(kReadAhead);
      ssize_t n;
      do {
        n = ::read(fd_, buffer_.data(), buffer_.size());
      } while (n < 0 && errno == EINTR);
      if (n < 0) return errno;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
      if (n == 0) {
        eof_ = true;
        break;
      }
    }
    size_t take = std::min(size - *got, end_ - begin_);
    std::memcpy(buffer + *got, buffer_.data() + begin_, take);
    begin_ += take;
    *got += take;
  }
  return 0;
}

TftpFolder::~TftpFolder() { Release(); }

TftpFolder::TftpFolder(TftpFolder&& other) noexcept
    : root_(std::move(other.root_)), rootFd_(std::exchange(other.rootFd_, -1)), lookup_(other.lookup_) {
  other.root_.clear();
}

TftpFolder& TftpFolder::operator=(TftpFolder&& other) noexcept {
  if (this != &other) {
    Release();
    root_ = std::move(other.root_);
    other.root_.clear();
    rootFd_ = std::exchange(other.rootFd_, -1);
    lookup_ = other.lookup_;
  }
  return *this;
}

void TftpFolder::Release() {
  if (rootFd_ >= 0) ::close(rootFd_);
  rootFd_ = -1;
  root_.clear();
}

TftpFolder TftpFolder::OfFile(const std::string& filePath, Lookup lookup) {
  TftpFolder folder;
  folder.lookup_ = lookup;
  if (filePath.empty()) return folder;  // no file named: nothing to serve
  std::filesystem::path parent = std::filesystem::path(filePath).parent_path();
  std::string dir = parent.empty() ? std::string(".") : parent.string();
  std::string resolved;
  if (!RealPath(dir, &resolved)) return folder;
  const int fd = ::open(resolved.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return folder;
  folder.root_ = resolved;
  folder.rootFd_ = fd;
  return folder;
}

int TftpFolder::OpenBelow(const std::string& relative, int* fd) const {
  if (lookup_ == Lookup::Kernel) {
    const int result = OpenBeneath(rootFd_, relative);
    if (result >= 0) {
      *fd = result;
      return 0;
    }
    // Older systems lack the call; some sandboxes refuse it. A system kept
    // unsure by renames elsewhere would refuse a name that stays inside:
    // the walk, as confined, judges it instead.
    if (result != -ENOSYS && result != -EPERM && result != -EAGAIN) return -result;
  }
  return WalkBelow(relative, fd);
}

int TftpFolder::WalkBelow(const std::string& relative, int* fd) const {
  // One component at a time, each opened below the one before without
  // letting the system follow a link: a link is read and its target walked
  // the same way. An absolute target, or ".." at the folder, leads out.
  std::vector<Descriptor> entered;
  std::deque<std::string> left = Components(relative);
  int links = 0;
  while (!left.empty()) {
    const std::string part = std::move(left.front());
    left.pop_front();
    if (part == ".") continue;
    const int here = entered.empty() ? rootFd_ : entered.back().Get();
    if (part == "..") {
      if (entered.empty()) return EXDEV;
      entered.pop_back();
      continue;
    }
    const bool final = left.empty();
    const int flags = (final ? kFileFlags : O_PATH | O_DIRECTORY | O_CLOEXEC) | O_NOFOLLOW;
    const int opened = ::openat(here, part.c_str(), flags);
    if (opened >= 0 && final) {
      Descriptor file(opened);
      if (!StillBelow(rootFd_, entered)) return EXDEV;
      *fd = file.Release();
      return 0;
    }
    if (opened >= 0) {
      entered.emplace_back(opened);
      continue;
    }
    const int err = errno;
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(here, part.c_str(), target, sizeof target);
    if (n < 0) return err;  // no link: the open's own failure
    if (++links > kMaxLinks) return ELOOP;
    if (n == 0) return ENOENT;
    if (target[0] == '/') return EXDEV;
    std::deque<std::string> expanded = Components(std::string(target, static_cast<size_t>(n)));
    left.insert(left.begin(), expanded.begin(), expanded.end());
  }
  // The name ends on a folder (by "." or ".."): open that one.
  const int result = ::openat(entered.empty() ? rootFd_ : entered.back().Get(), ".", kFileFlags);
  if (result < 0) return errno;
  Descriptor folder(result);
  if (!StillBelow(rootFd_, entered)) return EXDEV;
  *fd = folder.Release();
  return 0;
}

TftpFolder::Verdict TftpFolder::Open(const std::string& name, std::unique_ptr<TftpFileStream>* out) const {
  out->reset();
  if (rootFd_ < 0 || name.empty()) return Verdict::Outside;
  std::string relative = name;
  if (name.front() == '/') {
    // Only below the folder's own path, whole components compared.
    if (name.compare(0, root_.size(), root_) != 0) return Verdict::Outside;
    if (root_ != "/" && name.size() > root_.size() && name[root_.size()] != '/') return Verdict::Outside;
    relative = name.substr(root_.size());
  }
  const size_t first = relative.find_first_not_of('/');
  relative = first == std::string::npos ? std::string(".") : relative.substr(first);

  int fd = -1;
  const int err = OpenBelow(relative, &fd);
  if (err == EXDEV) return Verdict::Outside;
  if (err != 0) return Verdict::Missing;
  Descriptor file(fd);
  struct stat st {}, root {};
  if (::fstat(file.Get(), &st) != 0 || ::fstat(rootFd_, &root) != 0) return Verdict::Missing;
  // The folder itself is no file of it.
  if (SameFile(st, root)) return Verdict::Outside;
  if (TftpFileStream::Adopt(file.Release(), out) != 0) return Verdict::Missing;
  return Verdict::Inside;
}

}  // namespace quillbox
