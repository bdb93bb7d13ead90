// Throughput of the TFTP server on loopback, side by side with tftpd-hpa
// serving the same file to the same clients. Prints MiB/s and the ratio
// (ours / tftpd-hpa) per client and block size.
//
//   tftp_bench [size-MiB] [rounds] [client filter, e.g. "atftp"]
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TtftpForm.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Our server on its own thread, going on after each transfer.
class OurServer {
 public:
  explicit OurServer(const std::string& file) : folder_(quillbox::TftpFolder::OfFile(file)), server_(handOver_, Settings()) {
    server_.OnReadFile = [this](quillbox::TftpAccessEvent& e) { quillbox::ReadFromFolder(folder_, e); };
    server_.OnWriteFile = [](quillbox::TftpAccessEvent& e) { e.GrantAccess = false; };
    activation_ = server_.Activate().message;
    thread_ = std::thread([this] {
      while (!stop_) handOver_.HandleOne(Clock::now() + 50ms);
    });
  }
  ~OurServer() {
    stop_ = true;
    thread_.join();
    handOver_.Close();
    server_.Deactivate();
  }
  uint16_t Port() const { return server_.BoundPort(); }
  const std::string& Activation() const { return activation_; }

 private:
  static quillbox::TftpServerSettings Settings() {
    quillbox::TftpServerSettings s;
    s.port = 0;
    return s;
  }
  quillbox::TftpFolder folder_;
  quillbox::TftpHandOver handOver_;
  quillbox::TftpServer server_;
  std::string activation_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// tftpd-hpa in the foreground on 127.0.0.1; stopped by its own pid.
class HpaServer {
 public:
  HpaServer(const std::string& dir, uint16_t port) : port_(port) {
    std::string address = "127.0.0.1:" + std::to_string(port);
    std::vector<std::string> args{"/usr/sbin/in.tftpd", "-L", "-s", dir, "-a", address};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    std::this_thread::sleep_for(300ms);
  }
  ~HpaServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Running() const { return pid_ > 0; }
  uint16_t Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Best of rounds, in seconds; negative when the client failed.
double TimeFetch(const std::string& command, const std::string& out, uintmax_t size, int rounds) {
  double best = -1;
  for (int i = 0; i < rounds; ++i) {
    std::filesystem::remove(out);
    auto start = Clock::now();
    int rc = std::system((command + " >/dev/null 2>&1").c_str());
    double took = Seconds(Clock::now() - start);
    std::error_code ec;
    if (rc != 0 || std::filesystem::file_size(out, ec) != size) return -1;
    if (best < 0 || took < best) best = took;
  }
  return best;
}

std::string Fill(std::string pattern, uint16_t port, const std::string& out) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"PORT", std::to_string(port)}, {"OUT", out}}) {
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
      {"curl blksize 512", "curl -sS --tftp-blksize 512 tftp://127.0.0.1:PORT/image.bin -o OUT"},
      {"curl blksize 1468", "curl -sS --tftp-blksize 1468 tftp://127.0.0.1:PORT/image.bin -o OUT"},
      {"atftp blksize 512", "atftp --option \"blksize 512\" -g -r image.bin -l OUT 127.0.0.1 PORT"},
      {"atftp blksize 1468", "atftp --option \"blksize 1468\" -g -r image.bin -l OUT 127.0.0.1 PORT"},
  };

  std::printf("TFTP throughput, %d MiB file, loopback, best of %d\n", sizeMiB, rounds);
  std::printf("%-20s %12s %12s %8s\n", "client", "ours MiB/s", "hpa MiB/s", "ratio");
  for (const Case& c : cases) {
    if (std::string(c.label).find(filter) == std::string::npos) continue;
    double ours = -1, hpa = -1;
    {
      OurServer server(file);
      if (!server.Activation().empty()) {
        std::fprintf(stderr, "server: %s\n", server.Activation().c_str());
        return 1;
      }
      ours = TimeFetch(Fill(c.command, server.Port(), out), out, size, rounds);
    }
    {
      uint16_t port = static_cast<uint16_t>(40000 + (getpid() % 20000));
      HpaServer server(dir, port);
      if (server.Running()) hpa = TimeFetch(Fill(c.command, server.Port(), out), out, size, rounds);
    }
    double mib = static_cast<double>(size) / (1 << 20);
    auto rate = [&](double s) { return s > 0 ? mib / s : 0.0; };
    std::printf("%-20s %12.1f %12.1f %8.2f\n", c.label, rate(ours), rate(hpa),
                ours > 0 && hpa > 0 ? hpa / ours : 0.0);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
