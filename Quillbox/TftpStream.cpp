#include "TftpStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace quillbox {
namespace {

constexpr size_t kReadAhead = 256 * 1024;

bool RealPath(const std::string& path, std::string* out) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return false;
  *out = resolved;
  return true;
}

}  // namespace

int TftpFileStream::Open(const std::string& path, std::unique_ptr<TftpFileStream>* out) {
  // Non-blocking open so a FIFO cannot hold the opening thread.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return err;
  }
  *out = std::make_unique<TftpFileStream>(OwnKey{}, fd);
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

TftpFolder TftpFolder::OfFile(const std::string& filePath) {
  TftpFolder folder;
  if (filePath.empty()) return folder;  // no file named: nothing to serve
  std::filesystem::path parent = std::filesystem::path(filePath).parent_path();
  std::string dir = parent.empty() ? std::string(".") : parent.string();
  std::string resolved;
  struct stat st {};
  if (RealPath(dir, &resolved) && ::stat(resolved.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    folder.root_ = resolved;
  }
  return folder;
}

bool TftpFolder::Contains(const std::string& path, bool orEqual) const {
  if (root_.empty() || path.compare(0, root_.size(), root_) != 0) return false;
  if (path.size() == root_.size()) return orEqual;
  // Whole components only: "/x/fw" holds "/x/fw/a", not "/x/fw-private".
  return root_.back() == '/' || path[root_.size()] == '/';
}

TftpFolder::Verdict TftpFolder::Resolve(const std::string& name, std::string* resolved) const {
  if (root_.empty() || name.empty()) return Verdict::Outside;
  std::filesystem::path candidate(name);
  if (candidate.is_relative()) candidate = std::filesystem::path(root_) / candidate;
  if (RealPath(candidate.string(), resolved)) {
    return Contains(*resolved, false) ? Verdict::Inside : Verdict::Outside;
  }
  // The name does not resolve. Tell "missing inside" from "outside" by the
  // nearest folder above it that does, so nothing outside can be probed.
  std::filesystem::path normal = candidate.lexically_normal();
  std::string parent;
  if (RealPath(normal.parent_path().string(), &parent)) {
    return Contains(parent, true) ? Verdict::Missing : Verdict::Outside;
  }
  return Contains(normal.string(), false) ? Verdict::Missing : Verdict::Outside;
}

}  // namespace quillbox
