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

std::string BinDir() {
  const char* dir = std::getenv("QUILL_BIN_DIR");
  return dir ? dir : QUILL_BIN_DIR;
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> args, const std::string& deviceFileText) {
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
  const std::string program = BinDir() + "/devicesim";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

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
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
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
