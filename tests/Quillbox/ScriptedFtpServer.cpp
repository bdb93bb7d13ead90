#include "ScriptedFtpServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace testftp {
namespace {

constexpr int kSliceMs = 20;

bool StartsWith(const std::string& text, const std::string& prefix) {
  return !prefix.empty() && text.size() >= prefix.size() &&
         strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

}  // namespace

ScriptedFtpServer::ScriptedFtpServer(Script script, const std::string& ip, uint16_t port)
    : script_(std::move(script)) {
  uint32_t addr = 0;
  if (!net::ParseIpv4(ip, &addr)) throw std::runtime_error("bad address " + ip);
  if (listener_.OpenTcp(net::Blocking::Yes) || listener_.SetReuseAddress(true) ||
      listener_.Bind({addr, port}) || listener_.Listen(4))
    throw std::runtime_error("cannot listen on " + ip);
  port_ = listener_.LocalPort();
  thread_ = std::thread([this] { Run(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  stop_ = true;
  thread_.join();
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::string ScriptedFtpServer::Data() const {
  std::lock_guard lock(mutex_);
  return data_;
}

bool ScriptedFtpServer::WaitForCommand(const std::string& prefix, int ms) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do {
    for (const auto& c : Commands())
      if (StartsWith(c, prefix)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

bool ScriptedFtpServer::WaitForConnections(int count, int ms) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (connections_ < count) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool ScriptedFtpServer::SendText(net::Socket& s, const std::string& text) {
  if (!script_.trickle) return text.empty() || s.SendAll(text.data(), text.size()) == 0;
  for (char c : text) {
    if (s.SendAll(&c, 1) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool ScriptedFtpServer::Reply(net::Socket& s, const std::string& text) {
  if (laterConnection_ && script_.laterConnectionsSilent) return true;
  if (laterConnection_ && script_.laterConnectionsDelayMs > 0) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(script_.laterConnectionsDelayMs);
    while (!stop_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return SendText(s, text);
}

void ScriptedFtpServer::Trickle(net::Socket& s) {
  if (!SendText(s, script_.trickleFirst)) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(script_.trickleForMs);
  for (size_t i = 0; !stop_ && std::chrono::steady_clock::now() < end; ++i) {
    const char c = script_.trickleText[i % script_.trickleText.size()];
    if (s.SendAll(&c, 1) != 0) return;
    // Sliced, so that a client hanging up ends the trickle soon.
    for (int slept = 0; slept < script_.trickleIntervalMs && !stop_; slept += 10) {
      bool ready = false;
      s.WaitReadable(10, &ready);
      char buffer[256];
      size_t got = 0;
      if (ready && s.Recv(buffer, sizeof buffer, &got) == 0 && got == 0) return;
    }
  }
}

void ScriptedFtpServer::Run() {
  while (!stop_) {
    bool ready = false;
    listener_.WaitReadable(kSliceMs, &ready);
    if (!ready) continue;
    net::Socket control;
    if (listener_.Accept(&control) != 0) continue;
    laterConnection_ = ++connections_ > 1;
    // Refuse whatever comes after the last connection the script allows.
    if (script_.maxConnections > 0 && connections_ >= script_.maxConnections) listener_.Close();
    Serve(control);
    if (!listener_.IsOpen()) {
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
  }
}

void ScriptedFtpServer::Serve(net::Socket& control) {
  if (!Reply(control, script_.greeting)) return;
  std::string input;
  std::string portArgument;
  while (!stop_) {
    bool ready = false;
    control.WaitReadable(kSliceMs, &ready);
    if (!ready) continue;
    char buffer[4096];
    size_t got = 0;
    if (control.Recv(buffer, sizeof buffer, &got) != 0 || got == 0) return;
    input.append(buffer, got);
    size_t lf;
    while ((lf = input.find('\n')) != std::string::npos) {
      std::string command = input.substr(0, lf);
      input.erase(0, lf + 1);
      if (!command.empty() && command.back() == '\r') command.pop_back();
      {
        std::lock_guard lock(mutex_);
        commands_.push_back(command);
      }
      if (StartsWith(command, script_.closeOn)) return;
      if (StartsWith(command, script_.silentOn)) continue;
      if (StartsWith(command, script_.trickleOn)) {
        Trickle(control);
        return;
      }
      std::string reply = "502 Command not implemented\r\n";
      if (StartsWith(command, "user ")) reply = script_.user;
      else if (StartsWith(command, "pass ")) reply = script_.pass;
      else if (StartsWith(command, "type ")) reply = script_.type;
      else if (StartsWith(command, "syst")) reply = script_.syst;
      else if (StartsWith(command, "site ")) reply = script_.site;
      else if (StartsWith(command, "port ")) {
        portArgument = command.substr(5);
        reply = script_.port;
      } else if (StartsWith(command, "stor ")) {
        if (!Reply(control, script_.stor)) return;
        Transfer(control, portArgument);
        if (script_.closeAfterTransfer || script_.trickleAfterReset) return;
        continue;
      }
      if (!Reply(control, reply)) return;
    }
  }
}

void ScriptedFtpServer::Transfer(net::Socket& control, const std::string& portArgument) {
  if (!script_.connectData) return;
  unsigned h1, h2, h3, h4, p1, p2;
  if (std::sscanf(portArgument.c_str(), "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
    return;
  const net::Endpoint target{htonl(h1 << 24 | h2 << 16 | h3 << 8 | h4),
                             static_cast<uint16_t>(p1 << 8 | p2)};
  net::Socket data;
  if (data.OpenTcp()) return;
  if (data.Connect(target, std::chrono::steady_clock::now() + std::chrono::seconds(2), 2000)) return;
  ++dataConnections_;
  {
    std::lock_guard lock(mutex_);
    data_.clear();
  }
  if (!script_.readData) {
    // Hold the data connection unread until the client gives up on the
    // control connection.
    while (!stop_) {
      bool ready = false;
      control.WaitReadable(kSliceMs, &ready);
      if (ready) return;
    }
    return;
  }
  std::string received;
  while (!stop_) {
    bool ready = false;
    data.WaitReadable(kSliceMs, &ready);
    if (!ready) continue;
    char buffer[65536];
    size_t got = 0;
    if (data.Recv(buffer, sizeof buffer, &got) == EAGAIN) continue;
    if (got == 0) break;
    received.append(buffer, got);
    if (script_.resetData) {
      data.Abort();
      SendText(control, script_.afterReset);
      if (script_.trickleAfterReset) Trickle(control);
      return;
    }
  }
  {
    std::lock_guard lock(mutex_);
    data_ = received;
  }
  SendText(control, script_.transferEnd);
}

}  // namespace testftp
