// Upload throughput of FtpClient::Put against a real FTP server on loopback,
// side by side with curl -T (active mode) to the same server.
// Run inside the private network: scripts/netns.sh build/bin/quillbox_ftp_bench [MiB] [rounds]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "FtpClient.h"
#include "PyFtpServer.h"

using namespace quillbox;
using Clock = std::chrono::steady_clock;

namespace {

// The middle round (the mean of the middle two for an even count): one
// lucky or unlucky round moves it no further than to its neighbour.
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t half = v.size() / 2;
  return v.size() % 2 ? v[half] : (v[half - 1] + v[half]) / 2;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool UploadOurs(const testftp::PyFtpServer& server, const std::string& file, double* seconds) {
  ProtocolLog log;
  log.Target = ltNone;
  FtpClient ftp;
  ftp.ProtocolLog = &log;
  server.Configure(ftp);
  const auto start = Clock::now();
  Failure f = ftp.Connect(true);
  if (!f) f = ftp.Put(file, "ours.pak", false);
  ftp.Disconnect();
  *seconds = Seconds(start);
  if (f) std::fprintf(stderr, "FtpClient failed: %s\n", f.message.c_str());
  return !f;
}

bool UploadCurl(const testftp::PyFtpServer& server, const std::string& file, double* seconds) {
  // Bounded twice over: curl's own limit, and a kill should it not keep it.
  const std::string command = "timeout -k 5 300 curl -s -S --max-time 240 -T '" + file + "' -P 127.0.0.1 'ftp://" +
                              testftp::PyFtpServer::kUser + ":" + testftp::PyFtpServer::kPassword +
                              "@127.0.0.1:" + std::to_string(server.Port()) + "/curl.pak'";
  const auto start = Clock::now();
  const int status = std::system((command + " </dev/null").c_str());
  *seconds = Seconds(start);
  const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (rc != 0)
    std::fprintf(stderr, "curl failed (%s)\n", rc == 124 || rc == 28 ? "no result within the time limit"
                                                                     : ("exit " + std::to_string(rc)).c_str());
  return rc == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* netns = std::getenv("QUILL_NETNS");
  if (!netns || std::strcmp(netns, "1") != 0) {
    std::fprintf(stderr, "run inside the private network: scripts/netns.sh %s\n", argv[0]);
    return 77;
  }
  const long mib = argc > 1 ? std::atol(argv[1]) : 256;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (!testftp::PyFtpServer::Available()) {
    std::fprintf(stderr, "python3-pyftpdlib is not installed\n");
    return 77;
  }
  testftp::PyFtpServer server;
  if (!server.Ready()) {
    std::fprintf(stderr, "pyftpdlib did not start\n");
    return 1;
  }
  const std::string file = server.Folder() + "-bench.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::mt19937_64 gen(5);
    std::string block(1 << 20, '\0');
    for (long i = 0; i < mib; ++i) {
      for (size_t j = 0; j < block.size(); j += 8) {
        const uint64_t v = gen();
        std::memcpy(&block[j], &v, 8);
      }
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  std::vector<double> oursTimes, curlTimes;
  for (int r = 0; r < rounds; ++r) {
    double ours = 0, curl = 0;
    // Alternate the order so neither side always meets a warm server.
    const bool oursFirst = r % 2 == 0;
    bool ok = oursFirst ? UploadOurs(server, file, &ours) && UploadCurl(server, file, &curl)
                        : UploadCurl(server, file, &curl) && UploadOurs(server, file, &ours);
    if (!ok) {
      unlink(file.c_str());
      return 1;
    }
    std::printf("round %d: FtpClient %.1f MiB/s, curl %.1f MiB/s\n", r + 1, mib / ours, mib / curl);
    oursTimes.push_back(ours);
    curlTimes.push_back(curl);
  }
  unlink(file.c_str());
  const double ours = Median(oursTimes), curl = Median(curlTimes);
  std::printf("median of %d, %ld MiB: FtpClient %.1f MiB/s, curl -T %.1f MiB/s, ratio %.2f\n", rounds, mib,
              mib / ours, mib / curl, curl / ours);
  return 0;
}
