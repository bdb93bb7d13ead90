#include "tools/devicesim/Outage.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tools/devicesim/HttpDeviceState.h"
#include "tools/devicesim/HttpSocket.h"
#include "tools/devicesim/PrivateNetwork.h"

namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// The segment's one link to the PC; empty unless the simulator runs behind
// exactly one link of the topology.
std::string SegmentLink() {
  const char* links = std::getenv("QUILL_NETNS_LINKS");
  const std::vector<std::string> names = Words(links ? links : "");
  return names.size() == 1 && privatenet::IsTopologyLink(names[0]) ? names[0] : "";
}

// The routes through link that taking it down deletes, as the words of
// "ip route"; those of the link's own addresses come back by themselves.
std::vector<std::vector<std::string>> RoutesThrough(const std::string& link) {
  std::vector<std::vector<std::string>> routes;
  std::string text;
  if (RunIp({"-4", "-o", "route", "show", "dev", link}, &text) != 0) return routes;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("proto kernel") != std::string::npos) continue;
    std::vector<std::string> words = Words(line);
    if (!words.empty()) routes.push_back(std::move(words));
  }
  return routes;
}

void LinkDown(int ms, const std::atomic<bool>& stop) {
  const std::string link = SegmentLink();
  if (link.empty()) {
    std::fprintf(stderr, "devicesim: restart-offline=link needs a segment behind one link\n");
    return;
  }
  const auto routes = RoutesThrough(link);
  RunIp({"link", "set", link, "down"});
  SleepWatching(stop, ms);
  RunIp({"link", "set", link, "up"});
  for (std::vector<std::string> words : routes) {
    words.insert(words.begin(), {"route", "replace"});
    words.insert(words.end(), {"dev", link});
    RunIp(words);
  }
}

}  // namespace

void StayOffline(const Device& d, int ms, const std::atomic<bool>& stop) {
  const std::string how = DeviceOption(d, "restart-offline");
  if (how.empty()) return;
  if (how == "link") {
    LinkDown(ms, stop);
  } else if (how == "address") {
    RemoveFromLoopback(d.ip);
    SleepWatching(stop, ms);
    AddToLoopback(d.ip);
  } else {
    std::fprintf(stderr, "devicesim: restart-offline=%s: expected address or link\n", how.c_str());
  }
}
