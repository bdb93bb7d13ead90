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
  // Opens path for reading. Refuses anything but a regular file (a FIFO or a
  // device would block or never end). 0 or an errno value.
  static int Open(const std::string& path, std::unique_ptr<TftpFileStream>* out);

 private:
  struct OwnKey {
    explicit OwnKey() = default;
  };

 public:
  // Takes ownership of fd; only Open can make the key.
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

// Which files a wait serves: only those inside one folder.
class TftpFolder {
 public:
  enum class Verdict { Inside, Outside, Missing };

  // The folder that holds filePath (a relative path counts from the current
  // directory), with its symbolic links resolved. An empty path, or a folder
  // that does not exist, admits nothing.
  static TftpFolder OfFile(const std::string& filePath);

  const std::string& Path() const { return root_; }

  // Resolves a requested name (relative names count from the folder) with
  // every symbolic link followed and says whether it lies inside the folder,
  // comparing whole path components. *resolved gets the path to open.
  // Missing: it does not exist, but would lie inside.
  Verdict Resolve(const std::string& name, std::string* resolved) const;

 private:
  bool Contains(const std::string& path, bool orEqual) const;
  std::string root_;  // empty: admits nothing
};

}  // namespace quillbox
