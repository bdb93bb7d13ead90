#pragma once
// Where the device simulator and the network tests may run at all: only
// inside a network namespace the project made for itself, never in the
// machine's own, which has a real network behind it.
//
// The project's namespaces are made by scripts/netns.sh (loopback only) and
// scripts/netns-links.sh (veth links "qla", "qlb", ... between namespaces of
// its own). Both set QUILL_NETNS=1; the second names its links in
// QUILL_NETNS_LINKS. Header only, for the simulator and the tests alike.
#include <net/if.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace privatenet {

struct Facts {
  bool flag = false;                    // QUILL_NETNS=1
  std::vector<std::string> interfaces;  // every interface of this namespace
  std::vector<std::string> links;       // QUILL_NETNS_LINKS
  // 1 when this is the namespace of process 1 (the machine's own), 0 when
  // it is another one, -1 when that cannot be read (an unprivileged user).
  int machineNamespace = -1;
};

// A topology link: one of the names the scripts give, never a real
// adapter's.
inline bool IsTopologyLink(const std::string& name) {
  return name.size() == 3 && name[0] == 'q' && name[1] == 'l' && name[2] >= 'a' && name[2] <= 'h';
}

inline bool IsPrivate(const Facts& f, std::string* why) {
  if (!f.flag) {
    *why = "not started through scripts/netns.sh or scripts/netns-links.sh";
    return false;
  }
  if (f.machineNamespace == 1) {
    *why = "this is the machine's own network namespace";
    return false;
  }
  for (const std::string& name : f.interfaces) {
    if (name == "lo" || name == "d0") continue;
    bool declared = false;
    for (const std::string& link : f.links) declared = declared || (link == name && IsTopologyLink(link));
    if (!declared) {
      *why = "foreign interface " + name;
      return false;
    }
  }
  return true;
}

inline std::string NamespaceOf(const char* process) {
  char target[128] = {};
  const std::string path = std::string("/proc/") + process + "/ns/net";
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

inline Facts ReadFacts() {
  Facts f;
  const char* flag = std::getenv("QUILL_NETNS");
  f.flag = flag && std::strcmp(flag, "1") == 0;
  if (const char* links = std::getenv("QUILL_NETNS_LINKS")) {
    std::istringstream in(links);
    for (std::string name; in >> name;) f.links.push_back(name);
  }
  if (struct if_nameindex* list = ::if_nameindex()) {
    for (auto* p = list; p->if_index != 0; ++p) f.interfaces.push_back(p->if_name);
    ::if_freenameindex(list);
  } else {
    f.interfaces.push_back("(interfaces cannot be listed)");
  }
  const std::string self = NamespaceOf("self");
  const std::string machine = NamespaceOf("1");
  if (!self.empty() && !machine.empty()) f.machineNamespace = self == machine ? 1 : 0;
  return f;
}

inline bool InPrivateNetwork(std::string* why) { return IsPrivate(ReadFacts(), why); }

}  // namespace privatenet
