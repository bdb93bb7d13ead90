#pragma once
// How a password shows in any trace of an FTP login: the command word stays,
// the argument becomes HIDDEN_PASSWORD. The library's own trace and
// explorerctl's relay of it both hide it this way, so that a reader of
// either sees the same line.
#include <string>
#include <string_view>

namespace net {

inline constexpr std::string_view FTP_PASS_COMMAND = "pass ";
inline constexpr std::string_view HIDDEN_PASSWORD = "****";

// `text` with its characters from `from` up to `end` (npos: to the end)
// replaced by HIDDEN_PASSWORD.
inline std::string HidePasswordBetween(const std::string& text, size_t from, size_t end) {
  std::string hidden = text.substr(0, from);
  hidden += HIDDEN_PASSWORD;
  if (end != std::string::npos && end >= from) hidden += text.substr(end);
  return hidden;
}

}  // namespace net
