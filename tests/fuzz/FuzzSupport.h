#pragma once
// Shared pieces of the fuzz targets: the check that turns a broken
// invariant into a crash libFuzzer keeps, a reader that takes typed values
// from the input, and a scripted stream peer for readers of a connection.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "net/Socket.h"
#include "support/PrivateNetwork.h"

// An invariant that does not hold is a finding like a crash: report it and
// abort, so libFuzzer saves the input that broke it.
#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace fuzz {

// Targets that send datagrams run only inside the project's own network
// namespace (scripts/netns.sh); anywhere else they stop before sending,
// with the exit code of a skipped test.
inline void RequirePrivateNetwork() {
  std::string why;
  if (!testsupport::InPrivateNetwork(&why)) {
    std::fprintf(stderr, "SKIPPED: run inside scripts/netns.sh (%s)\n", why.c_str());
    std::exit(77);
  }
}

// Takes values from the front of the input; past its end every value is 0
// and every text empty, so a short input is still a valid one.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Left() const { return size_ - pos_; }
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  std::string Take(size_t n) {
    n = n < Left() ? n : Left();
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::string Rest() { return Take(Left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The other end of a local stream: a thread writes `script` and then reads
// (and drops) whatever the code under test sends, until that code closes
// its end. What happens once the script is written is the caller's choice:
// end the sending side (a reader then meets the end of the stream) or run
// `written` (e.g. to tell a reader that waits without limit to give up on
// silence). The end for the code under test is non-blocking, as connected
// sockets are in the code base. Whatever holds that end must release it
// before the peer goes (declare the peer first).
class ScriptedPeer {
 public:
  enum class AfterScript { EndStream, KeepOpen };

  ScriptedPeer(std::string script, AfterScript after, std::function<void()> written = {})
      : script_(std::move(script)), after_(after), written_(std::move(written)) {
    FUZZ_CHECK(net::MakeStreamPair(&mine_, &peer_) == 0);
    FUZZ_CHECK(mine_.SetNonBlocking(true) == 0);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedPeer() {
    mine_.Close();
    thread_.join();
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // The end for the code under test (once).
  net::Socket Take() { return std::move(mine_); }

 private:
  void Serve() {
    // A reader that gives up early closes its end: the send fails, which is
    // fine, and the drain below ends at once.
    peer_.SendAll(script_.data(), script_.size());
    if (after_ == AfterScript::EndStream) peer_.ShutdownSend();
    if (written_) written_();
    char sink[4096];
    for (;;) {
      size_t got = 0;
      if (peer_.Recv(sink, sizeof sink, &got) != 0 || got == 0) break;
    }
  }

  std::string script_;
  AfterScript after_;
  std::function<void()> written_;
  net::Socket mine_;
  net::Socket peer_;
  std::thread thread_;
};

}  // namespace fuzz
