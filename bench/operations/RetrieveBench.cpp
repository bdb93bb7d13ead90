// Retrieve of the largest configuration a device may send (16 MiB) from a
// simulated device, side by side
// with curl fetching the same URL with the same credentials. Run it inside
// the private network namespace:
//   scripts/netns.sh build/bin/bench_config_retrieve [rounds]
#include <arpa/inet.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/HttpClient.h"
#include "explorer/operations/Quillbox.h"
#include "tests/support/SimProcess.h"

extern char** environ;

namespace {

constexpr long kBytes = static_cast<long>(CONFIG_MAX_BYTES);

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

int RunCurl(const std::string& url, const std::string& out) {
  // curl's own time limit: a simulator that stops answering fails the
  // round instead of holding the benchmark.
  std::vector<std::string> args = {"curl", "-s", "--max-time", "60", "--http1.0", "--anyauth", "-u", "root:kqe",
                                   "-o", out, url};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t half = v.size() / 2;
  return v.size() % 2 ? v[half] : (v[half - 1] + v[half]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* flag = std::getenv("QUILL_NETNS");
  if (!flag || std::strcmp(flag, "1") != 0) {
    std::fprintf(stderr, "run me through scripts/netns.sh\n");
    return 2;
  }
  for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(v);
  int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  if (rounds < 1) rounds = 1;
  testsupport::SimProcess sim = testsupport::SimProcess::WithDevices(
      "00:50:C2:70:00:01 0 127.0.0.51 255.0.0.0 kqe config-bytes=" + std::to_string(kBytes) + "\n",
      {"--only", "http"});
  if (!sim.Ready()) {
    std::fprintf(stderr, "simulator: %s\n", sim.Error().c_str());
    return 1;
  }
  char tmpl[] = "/tmp/bench-retrieve-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  // Each round stores into a file that does not exist yet, as a user
  // saving a device's configuration would; overwriting one of the same
  // size again and again would measure a cheaper path.
  std::string ours, theirs;
  const std::string url = "http://127.0.0.51/CGI/mReturnFileCGI?file=ConfigFile.txt";

  CQuillbox q;
  q.record = std::make_unique<DeviceRecord>();
  q.record->setIp(htonl(0x7F000033u));
  StoreFileAsker ask = [&](const FileDialogRequest&, const HttpRequest&) {
    return std::optional<std::string>(ours);
  };

  std::vector<double> oursT, curlT;
  for (int i = 0; i <= rounds; ++i) {  // round 0 warms up both
    ours = dir + "/ours-" + std::to_string(i) + ".txt";
    theirs = dir + "/curl-" + std::to_string(i) + ".txt";
    auto t0 = std::chrono::steady_clock::now();
    int32_t rc = RetrieveConfigurationWorker(q, ask);
    auto t1 = std::chrono::steady_clock::now();
    int crc = RunCurl(url, theirs);
    auto t2 = std::chrono::steady_clock::now();
    if (rc != 0 || crc != 0 || FileSize(ours) != kBytes || FileSize(theirs) != kBytes) {
      std::fprintf(stderr, "round %d failed: ours %d (%s) size %ld, curl %d size %ld\n", i, rc,
                   q.errorText.c_str(), FileSize(ours), crc, FileSize(theirs));
      ::unlink(ours.c_str());
      ::unlink(theirs.c_str());
      ::rmdir(dir.c_str());
      return 1;
    }
    // Out of the timed part; the next round's names are new anyway.
    ::unlink(ours.c_str());
    ::unlink(theirs.c_str());
    if (i == 0) continue;
    oursT.push_back(Seconds(t1 - t0));
    curlT.push_back(Seconds(t2 - t1));
  }
  ::rmdir(dir.c_str());
  const double mo = Median(oursT), mc = Median(curlT);
  const double mib = static_cast<double>(kBytes) / (1024 * 1024);
  std::printf("%.0f MiB retrieve, median of %d rounds: ours %.3f s (%.0f MiB/s), curl %.3f s (%.0f MiB/s), "
              "speed ours/curl %.2fx (goal >= 1.00x)\n",
              mib, rounds, mo, mib / mo, mc, mib / mc, mc / mo);
  return 0;
}
