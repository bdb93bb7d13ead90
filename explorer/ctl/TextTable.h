#pragma once
// Plain-text tables for a terminal: columns padded to their widest cell,
// two spaces apart, no trailing blanks.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

template <size_t N>
std::string AlignedTable(const std::vector<std::array<std::string, N>>& lines) {
  std::array<size_t, N> width{};
  for (const auto& l : lines)
    for (size_t c = 0; c < N; ++c) width[c] = std::max(width[c], l[c].size());
  std::string out;
  for (const auto& l : lines) {
    std::string text;
    for (size_t c = 0; c < N; ++c) {
      text += l[c];
      if (c + 1 < N) text += std::string(width[c] - l[c].size() + 2, ' ');
    }
    text.erase(text.find_last_not_of(' ') + 1);
    out += text + "\n";
  }
  return out;
}
