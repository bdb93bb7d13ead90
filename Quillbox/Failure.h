#pragma once
// How the protocol layers of the library report a failure: a kind, a number
// (FTP reply code or errno) and an English text. A default Failure means
// success.
#include <cstdio>
#include <string>
#include <utility>

#include "net/Ipv4.h"

namespace quillbox {

// "Socket Error # <n>\r\n<description>", the text of a failed socket call.
inline std::string SocketErrorMessage(int err) {
  char head[64];
  std::snprintf(head, sizeof head, "Socket Error # %d\r\n", err);
  return head + net::SystemErrorText(err);
}

enum class FailureKind {
  None,
  Reply,             // a reply code the step does not accept; code = reply code
  ConnectionClosed,  // the peer or a local close ended a connection we needed
  Socket,            // a socket call failed; code = errno
  General,           // anything else (local file, echo decoding, ...)
};

inline constexpr const char* kConnectionClosedText = "Connection Closed Gracefully.";

struct Failure {
  FailureKind kind = FailureKind::None;
  int code = 0;
  std::string message;

  bool Failed() const { return kind != FailureKind::None; }
  explicit operator bool() const { return Failed(); }

  static Failure Reply(int replyCode, std::string line) {
    return {FailureKind::Reply, replyCode, std::move(line)};
  }
  static Failure Closed() { return {FailureKind::ConnectionClosed, 0, kConnectionClosedText}; }
  static Failure SocketError(int err) { return {FailureKind::Socket, err, SocketErrorMessage(err)}; }
  static Failure General(std::string text) { return {FailureKind::General, 0, std::move(text)}; }
};

}  // namespace quillbox
