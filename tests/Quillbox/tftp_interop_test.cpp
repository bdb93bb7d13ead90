// Real TFTP clients from the distribution fetch files from the server on
// loopback: curl, tftp-hpa and atftp. A client that is not installed skips.
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include "tftp_peer.h"

using namespace tftptest;

namespace {

bool Installed(const char* program) {
  std::string probe = std::string("command -v ") + program + " >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

int RunClient(const std::string& command) {
  // Every client runs under a time limit, so a hang fails instead of blocking.
  int status = std::system(("timeout 60 " + command + " >/dev/null 2>&1 </dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TftpInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    // Lengths that end mid-block, on a block boundary, and span many blocks.
    files_ = {{"odd.bin", Pattern(300000, 11)}, {"exact.bin", Pattern(512 * 1468, 12)}, {"empty.bin", {}}};
    for (auto& [name, content] : files_) served_ = dir_.Write(name, content);
  }

  // Fetches every file with command (which gets NAME, OUT and PORT replaced)
  // and compares the bytes.
  void FetchAll(const std::string& pattern) {
    RunningServer server(served_);
    ASSERT_TRUE(server.Activation().empty()) << server.Activation();
    for (auto& [name, content] : files_) {
      std::string out = dir_.Path() + "/got-" + name;
      std::string command = pattern;
      for (auto [key, value] : {std::pair<std::string, std::string>{"NAME", name}, {"OUT", out},
                                {"PORT", std::to_string(server.Port())}}) {
        for (size_t at; (at = command.find(key)) != std::string::npos;) command.replace(at, key.size(), value);
      }
      EXPECT_EQ(RunClient(command), 0) << command;
      EXPECT_TRUE(ReadAll(out) == content) << command;
    }
  }

  ScratchDir dir_;
  std::vector<std::pair<std::string, Bytes>> files_;
  std::string served_;
};

}  // namespace

TEST_F(TftpInterop, Curl) {
  if (!Installed("curl")) GTEST_SKIP() << "curl not installed";
  FetchAll("curl -sS tftp://127.0.0.1:PORT/NAME -o OUT");
  // curl puts tsize before blksize, so the server stays at 512 for it.
  FetchAll("curl -sS --tftp-blksize 1468 tftp://127.0.0.1:PORT/NAME -o OUT");
  FetchAll("curl -sS --tftp-no-options tftp://127.0.0.1:PORT/NAME -o OUT");
}

TEST_F(TftpInterop, TftpHpa) {
  if (!Installed("tftp")) GTEST_SKIP() << "tftp-hpa not installed";
  FetchAll("tftp -m binary 127.0.0.1 PORT -c get NAME OUT");
}

TEST_F(TftpInterop, Atftp) {
  if (!Installed("atftp")) GTEST_SKIP() << "atftp not installed";
  FetchAll("atftp -g -r NAME -l OUT 127.0.0.1 PORT");
  FetchAll("atftp --option \"blksize 1468\" -g -r NAME -l OUT 127.0.0.1 PORT");
  FetchAll("atftp --option \"blksize 8192\" -g -r NAME -l OUT 127.0.0.1 PORT");
}
