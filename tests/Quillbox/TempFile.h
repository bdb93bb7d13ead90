#pragma once
// A uniquely named file under /tmp holding given bytes, removed again at the
// end of its scope, and reproducible random contents for it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "support/FileBytes.h"

namespace testftp {

struct TempFile {
  std::string path;
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/quillbox-ftp-XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd >= 0) {
      close(fd);
      testsupport::WriteAll(path, content);
    }
  }
  ~TempFile() { unlink(path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
};

inline std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

}  // namespace testftp
