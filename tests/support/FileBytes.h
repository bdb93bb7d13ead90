#pragma once
// Whole-file reads and writes for tests, byte for byte (zeros included).
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace testsupport {

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The bytes themselves when they are few, else their length, a hash and
// their start: what a failed comparison of whole files prints.
inline std::string Brief(const std::string& bytes) {
  if (bytes.size() <= 256) return bytes;
  return "<" + std::to_string(bytes.size()) + " bytes, hash " +
         std::to_string(std::hash<std::string>{}(bytes)) + ", starting " + bytes.substr(0, 32) + ">";
}

}  // namespace testsupport
