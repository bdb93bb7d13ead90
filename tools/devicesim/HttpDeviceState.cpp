#include "tools/devicesim/HttpDeviceState.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

bool HasConsole(const Device& d) { return d.kind == 0x30 || d.kind == 0x31; }

std::string DeviceOption(const Device& d, const std::string& key, const std::string& fallback) {
  auto it = d.extra.find(key);
  return it == d.extra.end() ? fallback : it->second;
}

long DeviceOptionNumber(const Device& d, const std::string& key, long fallback) {
  auto it = d.extra.find(key);
  if (it == d.extra.end() || it->second.empty()) return fallback;
  return std::strtol(it->second.c_str(), nullptr, 0);
}

SimDeviceState& SimDeviceState::Get() {
  static SimDeviceState state;
  return state;
}

SimDeviceState::State& SimDeviceState::Of(const Device& d) {
  std::string key(reinterpret_cast<const char*>(d.mac.data()), d.mac.size());
  State& s = states_[key];
  if (!s.loaded) {
    s.loaded = true;
    std::string path = DeviceOption(d, "config");
    long bytes = DeviceOptionNumber(d, "config-bytes", -1);
    if (!path.empty()) {
      std::ifstream in(path, std::ios::binary);
      if (in) {
        std::ostringstream all;
        all << in.rdbuf();
        s.config = all.str();
      }
    } else if (bytes >= 0) {
      std::string body(static_cast<size_t>(bytes), '\0');
      uint32_t x = 0x12345678u;
      for (char& c : body) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
      }
      s.config = std::move(body);
    }
  }
  return s;
}

std::optional<std::string> SimDeviceState::Config(const Device& d) {
  std::lock_guard<std::mutex> guard(mutex_);
  return Of(d).config;
}

void SimDeviceState::StoreConfig(const Device& d, std::string body) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string out = DeviceOption(d, "config-out");
  if (!out.empty()) {
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(body.data(), static_cast<std::streamsize>(body.size()));
  }
  Of(d).config = std::move(body);
}

void SimDeviceState::BeginRestart(const Device& d, int ms) {
  std::lock_guard<std::mutex> guard(mutex_);
  Of(d).upAgain = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

bool SimDeviceState::Restarting(const Device& d) {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::chrono::steady_clock::now() < Of(d).upAgain;
}

void SimDeviceState::Log(const Device& d, const std::string& key, const std::string& line) {
  std::string path = DeviceOption(d, key);
  if (path.empty()) return;
  std::lock_guard<std::mutex> guard(mutex_);
  std::ofstream file(path, std::ios::app);
  file << line << "\n";
}
