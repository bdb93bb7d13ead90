#pragma once
// A real FTP server (Debian's python3-pyftpdlib) on 127.0.0.1 with a free
// port, a login and a temporary folder, for interoperability tests and the
// upload benchmark. Stopped and cleaned up on destruction.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "FtpClient.h"
#include "net/Socket.h"

namespace testftp {

class PyFtpServer {
 public:
  static constexpr const char* kPython = "/usr/bin/python3";
  static constexpr const char* kUser = "tester";
  static constexpr const char* kPassword = "s3cret";

  static bool Available() {
    return std::system("timeout 30 /usr/bin/python3 -c 'import pyftpdlib' >/dev/null 2>&1") == 0;
  }

  PyFtpServer() {
    char dir[] = "/tmp/quillbox-pyftpd-XXXXXX";
    if (!mkdtemp(dir)) return;
    dir_ = dir;
    port_ = FreePort();
    if (port_ == 0) return;
    const std::string port = std::to_string(port_);
    std::vector<std::string> args{kPython, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", port,
                                  "-w",    "-d", dir_,        "-u", kUser,       "-P", kPassword};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, kPython, &actions, nullptr, argv.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ > 0) ready_ = WaitListening(10000);
  }

  ~PyFtpServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      // Bounded: a server that does not stop on request is killed.
      int status = 0;
      for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }
  PyFtpServer(const PyFtpServer&) = delete;
  PyFtpServer& operator=(const PyFtpServer&) = delete;

  bool Ready() const { return ready_; }
  uint16_t Port() const { return port_; }
  // Gives `ftp` this server's address and login.
  void Configure(quillbox::FtpClient& ftp) const {
    ftp.Host = "127.0.0.1";
    ftp.Port = Port();
    ftp.User = kUser;
    ftp.Password = kPassword;
  }
  const std::string& Folder() const { return dir_; }

 private:
  static uint16_t FreePort() {
    net::Socket s;
    if (s.OpenTcp() || s.Bind({htonl(INADDR_LOOPBACK), 0})) return 0;
    return s.LocalPort();
  }

  bool WaitListening(int ms) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      net::Socket s;
      if (s.OpenTcp() == 0 &&
          s.Connect({htonl(INADDR_LOOPBACK), port_}, std::chrono::steady_clock::now() + std::chrono::milliseconds(500),
                    500) == 0)
        return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) return false;  // it died
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace testftp
