#include "tools/devicesim/DeviceTable.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "net/Ipv4.h"
#include "tools/devicesim/DeviceCodec.h"

extern char** environ;

namespace {

// Exactly six pairs of hex digits separated by ':' or '-'.
bool ParseMac(const std::string& text, std::array<uint8_t, 6>& mac) {
  if (text.size() != 17) return false;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (int i = 0; i < 6; ++i) {
    const int hi = hex(text[i * 3]);
    const int lo = hex(text[i * 3 + 1]);
    if (hi < 0 || lo < 0) return false;
    if (i < 5 && text[i * 3 + 2] != ':' && text[i * 3 + 2] != '-') return false;
    mac[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
  out = v;
  return true;
}

}  // namespace

std::optional<Device> ParseDeviceLine(const std::string& line, std::string* error) {
  std::istringstream in(line);
  std::string mac, kind, ip, mask, password;
  if (!(in >> mac >> kind >> ip >> mask >> password)) {
    *error = "expected: MAC kind IP mask password [options]";
    return std::nullopt;
  }
  Device d;
  unsigned long n = 0;
  if (!ParseMac(mac, d.mac)) {
    *error = "bad MAC address '" + mac + "'";
    return std::nullopt;
  }
  if (!ParseNumber(kind, 0xFFFF, n)) {
    *error = "bad device kind '" + kind + "'";
    return std::nullopt;
  }
  d.kind = static_cast<uint16_t>(n);
  if (!net::ParseIpv4(ip, &d.ip)) {
    *error = "bad IP address '" + ip + "'";
    return std::nullopt;
  }
  if (!net::ParseIpv4(mask, &d.mask)) {
    *error = "bad network mask '" + mask + "'";
    return std::nullopt;
  }
  d.password = password == "-" ? "" : password;
  std::string option;
  while (in >> option) {
    const size_t eq = option.find('=');
    const std::string key = option.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : option.substr(eq + 1);
    bool ok = true;
    if (option == "twice") {
      d.twice = true;
    } else if (option == "short") {
      d.size = 12;
    } else if (option == "long") {
      d.size = 600;
    } else if (option == "silent") {
      d.silent = true;
    } else if (option == "quiet-others") {
      d.quietOthers = true;
    } else if (option == "broadcast") {
      d.broadcast = true;
    } else if (key == "late") {
      ok = ParseNumber(value, 600000, n);
      d.lateMs = static_cast<int>(n);
    } else if (key == "size") {
      ok = ParseNumber(value, 65000, n);
      d.size = static_cast<int>(n);
    } else if (key == "status") {
      ok = ParseNumber(value, 0xFFFFFFFFul, n);
      d.status = static_cast<uint32_t>(n);
    } else if (eq != std::string::npos && !key.empty()) {
      d.extra[key] = value;
    } else {
      ok = false;
    }
    if (!ok) {
      *error = "bad option '" + option + "'";
      return std::nullopt;
    }
  }
  return d;
}

bool AddressedTo(const Device& device, uint32_t destination) {
  if (destination == 0xFFFFFFFFu) return true;
  if (device.ip == 0) return false;
  return destination == device.ip || destination == (device.ip | ~device.mask);
}

int32_t CheckNetworkParameters(uint32_t ipNetOrder, uint32_t maskNetOrder) {
  if (ipNetOrder == 0 || ipNetOrder == 0xFFFFFFFFu) return devicewire::STATUS_CANNOT_SET_IP;
  const uint32_t m = ntohl(maskNetOrder);
  // A usable mask is a run of ones from the top, neither empty nor full.
  const bool contiguous = (~m & (~m + 1)) == 0;
  if (m == 0 || m == 0xFFFFFFFFu || !contiguous) return devicewire::STATUS_CANNOT_SET_MASK;
  return devicewire::STATUS_OK;
}

void DeviceTable::Add(const Device& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_.push_back(device);
  ++generation_;
}

std::vector<Device> DeviceTable::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

size_t DeviceTable::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_.size();
}

std::optional<Device> DeviceTable::FindByIp(uint32_t ipNetOrder) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Device& d : devices_)
    if (d.ip == ipNetOrder) return d;
  return std::nullopt;
}

std::optional<Device> DeviceTable::FindByMac(const uint8_t* mac6) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Device& d : devices_)
    if (std::memcmp(d.mac.data(), mac6, 6) == 0) return d;
  return std::nullopt;
}

void DeviceTable::SetAddress(size_t index, uint32_t ipNetOrder, uint32_t maskNetOrder) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= devices_.size()) return;
  devices_[index].ip = ipNetOrder;
  devices_[index].mask = maskNetOrder;
  ++generation_;
}

std::set<uint32_t> DeviceTable::Addresses(const std::function<bool(const Device&)>& wanted) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<uint32_t> out;
  for (const Device& d : devices_)
    if (d.ip != 0 && wanted(d)) out.insert(d.ip);
  return out;
}

std::string MacText(const std::array<uint8_t, 6>& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

int RunIp(const std::vector<std::string>& args, std::string* out) {
  // Never outside the private namespace, whatever the caller thinks.
  const char* flag = std::getenv("QUILL_NETNS");
  if (!flag || std::strcmp(flag, "1") != 0) return -1;
  std::vector<std::string> words{"ip"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int pipeFds[2] = {-1, -1};
  if (out && ::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // "File exists" for an address already there and the like are expected.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (out) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out) {
    ::close(pipeFds[1]);
    out->clear();
    // ip ends by itself; what it prints about one link is small, and more
    // than this is not kept.
    constexpr size_t kMaxOutput = 64 * 1024;
    char buffer[4096];
    while (rc == 0) {
      const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (out->size() < kMaxOutput) out->append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
  }
  if (rc != 0) {
    std::fprintf(stderr, "devicesim: cannot run ip: %s\n", std::strerror(rc));
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

// "A.B.C.D/32" for the addresses of devices kept on lo; empty for those lo
// has anyway.
std::string LoopbackAddress(uint32_t ipNetOrder) {
  if (ipNetOrder == 0 || (ntohl(ipNetOrder) >> 24) == 127) return "";
  return net::FormatIpv4(ipNetOrder) + "/32";
}

}  // namespace

void AddToLoopback(uint32_t ipNetOrder) {
  const std::string address = LoopbackAddress(ipNetOrder);
  if (!address.empty()) RunIp({"addr", "add", address, "dev", "lo"});
}

void RemoveFromLoopback(uint32_t ipNetOrder) {
  const std::string address = LoopbackAddress(ipNetOrder);
  if (!address.empty()) RunIp({"addr", "del", address, "dev", "lo"});
}
