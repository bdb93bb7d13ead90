#pragma once
// The byte streams a transfer reads from, and the rule that decides which
// files a wait may hand out.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillbox {

class TftpStream {
 public:
  virtual ~TftpStream() = default;
  // Reads up to size bytes; fewer only at the end. 0 or an errno value.
  virtual int Read(uint8_t* buffer, size_t size, size_t* got) = 0;
  virtual void Close() = 0;
};

// A regular file opened for reading; buffered, since transfers read it a
// block at a time.
class TftpFileStream final : public TftpStream {
 public:
  // Takes over fd, an open descriptor (closed in every case). Refuses
  // anything but a regular file (a FIFO or a device would block or never
  // end). 0 or an errno value.
  static int Adopt(int fd, std::unique_ptr<TftpFileStream>* out);

 private:
  struct OwnKey {
    explicit OwnKey() = default;
  };

 public:
  // Takes ownership of fd; only Adopt can make the key.
  TftpFileStream(OwnKey, int fd);
  ~TftpFileStream() override;
  TftpFileStream(const TftpFileStream&) = delete;
  TftpFileStream& operator=(const TftpFileStream&) = delete;

  int Read(uint8_t* buffer, size_t size, size_t* got) override;
  void Close() override;

 private:
  int fd_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

// Which files a wait serves: only those inside one folder. The folder is
// held open, and every name is looked up below that descriptor, so that no
// link or swapped sub-folder met on the way can lead out of it, however the
// folder changes meanwhile.
class TftpFolder {
 public:
  enum class Verdict {
    Inside,   // opened: a regular file inside the folder
    Outside,  // the name leads out of the folder, or names the folder itself
    Missing,  // inside, but nothing there, or nothing a transfer can read
  };
  // How names are looked up: by the system's confined lookup where it has
  // one (openat2 with RESOLVE_BENEATH), else by a walk of our own.
  enum class Lookup { Kernel, Walk };

  TftpFolder() = default;
  ~TftpFolder();
  TftpFolder(TftpFolder&& other) noexcept;
  TftpFolder& operator=(TftpFolder&& other) noexcept;
  TftpFolder(const TftpFolder&) = delete;
  TftpFolder& operator=(const TftpFolder&) = delete;

  // The folder that holds filePath (a relative path counts from the current
  // directory), with its symbolic links resolved. An empty path, or a folder
  // that does not exist, admits nothing.
  static TftpFolder OfFile(const std::string& filePath, Lookup lookup = Lookup::Kernel);

  const std::string& Path() const { return root_; }

  // Opens a requested name for reading. Relative names count from the
  // folder; an absolute one must begin with the folder's path. Links are
  // followed only as far as they stay inside; whatever lies outside is
  // refused alike, whether it exists or not.
  Verdict Open(const std::string& name, std::unique_ptr<TftpFileStream>* out) const;

 private:
  void Release();
  // 0 with *fd open below the folder, EXDEV when the name leads out of it,
  // or another errno value.
  int OpenBelow(const std::string& relative, int* fd) const;
  int WalkBelow(const std::string& relative, int* fd) const;

  std::string root_;  // empty: admits nothing
  int rootFd_ = -1;
  Lookup lookup_ = Lookup::Kernel;
};

}  // namespace quillbox
