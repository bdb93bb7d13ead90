#include "support/SimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace testsupport {

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

std::vector<std::string> Words(const char* text) {
  std::vector<std::string> out;
  std::string word;
  for (const char* p = text ? text : ""; ; ++p) {
    if (*p == ' ' || *p == '\0') {
      if (!word.empty()) out.push_back(word);
      word.clear();
      if (*p == '\0') break;
    } else {
      word += *p;
    }
  }
  return out;
}

std::string BinDir() {
  const char* dir = std::getenv("QUILL_BIN_DIR");
  return dir ? dir : QUILL_BIN_DIR;
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> args, const std::string& deviceFileText, int link)
    : SimProcess(std::move(args), deviceFileText, Place{"QUILL_NETNS_LINKS", "QUILL_NETNS_SEGMENTS", link}) {}

SimProcess::SimProcess(std::vector<std::string> args, const std::string& deviceFileText, Place place) {
  const int link = place.index;
  if (!deviceFileText.empty()) {
    char name[] = "/tmp/devicesim-XXXXXX";
    Fd file{::mkstemp(name)};
    if (file.fd < 0 || ::write(file.fd, deviceFileText.data(), deviceFileText.size()) !=
                           static_cast<ssize_t>(deviceFileText.size())) {
      error_ = "cannot write the device file";
      return;
    }
    deviceFile_ = name;
    args.insert(args.begin(), {"--file", deviceFile_});
  }
  std::string program = BinDir() + "/devicesim";
  // The environment as it is, except inside a segment, whose only link
  // is the one it shares with the PC.
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) environment.push_back(*e);
  if (link >= 0) {
    const std::vector<std::string> links = Words(std::getenv(place.linksVariable));
    const std::vector<std::string> segments = Words(std::getenv(place.segmentsVariable));
    if (static_cast<size_t>(link) >= links.size() || links.size() != segments.size()) {
      error_ = std::string("no segment ") + std::to_string(link) + " in " + place.segmentsVariable +
               " (run through scripts/netns-links.sh)";
      return;
    }
    for (std::string& e : environment)
      if (e.rfind("QUILL_NETNS_LINKS=", 0) == 0) e = "QUILL_NETNS_LINKS=" + links[static_cast<size_t>(link)];
    args.insert(args.begin(), {"--net=/run/netns/" + segments[static_cast<size_t>(link)], "--", program});
    program = "/usr/bin/nsenter";
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  Fd readEnd{pipeFds[0]};
  Fd writeEnd{pipeFds[1]};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 1);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    error_ = "cannot start " + program + ": " + std::strerror(rc);
    return;
  }
  ::close(writeEnd.fd);
  writeEnd.fd = -1;

  std::string seen;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < giveUp) {
    pollfd p{readEnd.fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(readEnd.fd, buf, sizeof buf);
    if (n <= 0) {
      error_ = "devicesim ended before it was ready (see its messages above)";
      Stop();
      return;
    }
    seen.append(buf, static_cast<size_t>(n));
    if (seen.find("ready\n") != std::string::npos) {
      ready_ = true;
      return;
    }
  }
  error_ = "devicesim did not say ready within 10 s";
  Stop();
}

SimProcess SimProcess::WithDevices(const std::string& deviceFileText,
                                   std::vector<std::string> extraArgs) {
  return SimProcess(std::move(extraArgs), deviceFileText);
}

SimProcess SimProcess::OnLink(size_t link, const std::string& deviceFileText,
                              std::vector<std::string> extraArgs) {
  return SimProcess(std::move(extraArgs), deviceFileText, static_cast<int>(link));
}

SimProcess SimProcess::OnRemote(size_t segment, const std::string& deviceFileText,
                                std::vector<std::string> extraArgs) {
  extraArgs.insert(extraArgs.begin(), "--addressed-only");
  return SimProcess(std::move(extraArgs), deviceFileText,
                    Place{"QUILL_NETNS_REMOTE_LINKS", "QUILL_NETNS_REMOTE_SEGMENTS", static_cast<int>(segment)});
}

SimProcess::SimProcess(SimProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      ready_(std::exchange(other.ready_, false)),
      error_(std::move(other.error_)),
      deviceFile_(std::exchange(other.deviceFile_, std::string())),
      exitStatus_(other.exitStatus_) {}

int SimProcess::Stop() {
  ready_ = false;
  int status = -1;
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      status = -1;
    }
    pid_ = -1;
    exitStatus_ = status;
  }
  return status;
}

SimProcess::~SimProcess() {
  Stop();
  if (!deviceFile_.empty()) ::unlink(deviceFile_.c_str());
}

}  // namespace testsupport
