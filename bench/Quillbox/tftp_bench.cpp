// Throughput of the TFTP server on loopback, side by side with tftpd-hpa
// serving the same file to the same clients. Prints MiB/s and the ratio
// (ours / tftpd-hpa) per client and block size. Every client runs under a
// time limit; a failed round is reported in its row instead of timed.
//
//   scripts/netns.sh build/bin/tftp_bench [size-MiB] [rounds] [client filter, e.g. "atftp"]
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "RunningTftpServer.h"
#include "TtftpForm.h"
#include "net/Socket.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// No client may take longer than this for one fetch.
constexpr int kClientLimitSeconds = 120;

// Our server with its stock settings on any free port, going on after
// each transfer.
quillbox::TtftpSettings OurSettings() {
  quillbox::TtftpSettings s;
  s.server.port = 0;
  return s;
}

// tftpd-hpa in the foreground, stopped by its own pid. It resolves its bind
// address under address-configuration rules, so inside the private network
// (whose only IPv4 address is on lo) a numeric 127.0.0.1 makes it exit at
// once with status 66; there it binds the namespace's addresses by port
// alone, which are lo's only. Outside it binds 127.0.0.1.
class HpaServer {
 public:
  HpaServer(const std::string& dir, uint16_t port) : port_(port) {
    const char* netns = std::getenv("QUILL_NETNS");
    const bool privateNetwork = netns && std::string(netns) == "1";
    const std::string address = (privateNetwork ? ":" : "127.0.0.1:") + std::to_string(port);
    std::vector<std::string> args{"/usr/sbin/in.tftpd", "-L", "-4", "-s", dir, "-a", address};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (access(argv[0], X_OK) != 0) {
      problem_ = "tftpd-hpa is not installed";
      return;
    }
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      problem_ = "cannot start in.tftpd";
      return;
    }
    WaitListening(3000ms);
  }
  ~HpaServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    // Bounded: a server that ignores the request is killed.
    for (int i = 0; i < 40 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) std::this_thread::sleep_for(50ms);
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  HpaServer(const HpaServer&) = delete;
  HpaServer& operator=(const HpaServer&) = delete;

  // Empty once it answers requests; else why not.
  const std::string& Problem() const { return problem_; }
  uint16_t Port() const { return port_; }

 private:
  // Asks for a file that does not exist until an answer comes (ERROR), the
  // server exits, or the time is up.
  void WaitListening(std::chrono::milliseconds limit) {
    net::Socket probe;
    if (probe.OpenUdp(net::Blocking::Yes) != 0) {
      problem_ = "no socket for the probe";
      return;
    }
    static const char request[] = "\0\1no-such-file\0octet";
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        problem_ = "in.tftpd exited with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return;
      }
      probe.SendTo(request, sizeof request, {htonl(INADDR_LOOPBACK), port_});
      bool ready = false;
      if (probe.WaitReadable(100, &ready) == 0 && ready) {
        uint8_t answer[600];
        net::Datagram d;
        if (probe.ReceiveFrom(answer, sizeof answer, &d) == 0 && d.size >= 2 && answer[1] == 5) return;
      }
    }
    problem_ = "in.tftpd does not answer on port " + std::to_string(port_);
  }

  pid_t pid_ = -1;
  uint16_t port_;
  std::string problem_;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A UDP port nobody holds right now.
uint16_t FreePort() {
  net::Socket s;
  if (s.OpenUdp() != 0 || s.Bind({htonl(INADDR_LOOPBACK), 0}) != 0) return 0;
  return s.LocalPort();
}

// Best of rounds, in seconds; negative with *why when a round failed (the
// remaining rounds are not run). Every client runs under a time limit.
double TimeFetch(const std::string& command, const std::string& out, uintmax_t size, int rounds,
                 std::string* why) {
  double best = -1;
  for (int i = 0; i < rounds; ++i) {
    std::filesystem::remove(out);
    auto start = Clock::now();
    const int status = std::system(("timeout -k 5 " + std::to_string(kClientLimitSeconds) + " " + command +
                                    " >/dev/null 2>&1 </dev/null")
                                       .c_str());
    double took = Seconds(Clock::now() - start);
    const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::error_code ec;
    const uintmax_t got = std::filesystem::file_size(out, ec);
    if (rc != 0 || ec || got != size) {
      *why = "round " + std::to_string(i + 1) + ": " +
             (rc == 124 ? std::string("no result within the time limit")
                        : "exit " + std::to_string(rc) + ", " + std::to_string(ec ? 0 : got) + " bytes");
      return -1;
    }
    if (best < 0 || took < best) best = took;
  }
  return best;
}
std::string Fill(std::string pattern, uint16_t port, const std::string& out) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"PORT", std::to_string(port)},
                            {"OUT", out},
                            {"LIMIT", std::to_string(kClientLimitSeconds)}}) {
    for (size_t at; (at = pattern.find(key)) != std::string::npos;) pattern.replace(at, key.size(), value);
  }
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  const int sizeMiB = argc > 1 ? std::atoi(argv[1]) : 32;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string filter = argc > 3 ? argv[3] : "";
  char pattern[] = "/tmp/tftpbenchXXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string dir = pattern;
  chmod(dir.c_str(), 0755);  // tftpd-hpa reads as its own user
  const std::string file = dir + "/image.bin";
  {
    std::ofstream f(file, std::ios::binary);
    std::vector<char> block(1 << 20);
    uint32_t x = 1;
    for (int i = 0; i < sizeMiB; ++i) {
      for (auto& c : block) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
      f.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  chmod(file.c_str(), 0644);
  const uintmax_t size = std::filesystem::file_size(file);
  const std::string out = dir + "/out.bin";

  struct Case {
    const char* label;
    const char* command;
  };
  const Case cases[] = {
      {"curl blksize 512", "curl -sS --max-time LIMIT --tftp-blksize 512 tftp://127.0.0.1:PORT/image.bin -o OUT"},
      {"curl blksize 1468", "curl -sS --max-time LIMIT --tftp-blksize 1468 tftp://127.0.0.1:PORT/image.bin -o OUT"},
      {"atftp blksize 512", "atftp --option \"blksize 512\" -g -r image.bin -l OUT 127.0.0.1 PORT"},
      {"atftp blksize 1468", "atftp --option \"blksize 1468\" -g -r image.bin -l OUT 127.0.0.1 PORT"},
  };

  std::printf("TFTP throughput, %d MiB file, loopback, best of %d\n", sizeMiB, rounds);
  std::printf("%-20s %12s %12s %8s\n", "client", "ours MiB/s", "hpa MiB/s", "ratio");
  int failures = 0;
  for (const Case& c : cases) {
    if (std::string(c.label).find(filter) == std::string::npos) continue;
    double ours = -1, hpa = -1;
    std::string oursWhy, hpaWhy;
    {
      tftptest::RunningServer server(file, OurSettings());
      if (!server.Activation().empty()) {
        std::fprintf(stderr, "server: %s\n", server.Activation().c_str());
        std::filesystem::remove_all(dir);
        return 1;
      }
      ours = TimeFetch(Fill(c.command, server.Port(), out), out, size, rounds, &oursWhy);
    }
    {
      HpaServer server(dir, FreePort());
      if (server.Problem().empty())
        hpa = TimeFetch(Fill(c.command, server.Port(), out), out, size, rounds, &hpaWhy);
      else
        hpaWhy = server.Problem();
    }
    double mib = static_cast<double>(size) / (1 << 20);
    auto rate = [&](double s) { return s > 0 ? mib / s : 0.0; };
    std::printf("%-20s %12.1f %12.1f %8.2f\n", c.label, rate(ours), rate(hpa),
                ours > 0 && hpa > 0 ? hpa / ours : 0.0);
    if (!oursWhy.empty()) std::printf("  ours failed: %s\n", oursWhy.c_str());
    if (!hpaWhy.empty()) std::printf("  tftpd-hpa failed: %s\n", hpaWhy.c_str());
    failures += !oursWhy.empty() + !hpaWhy.empty();
  }
  std::filesystem::remove_all(dir);
  return failures == 0 ? 0 : 1;
}
