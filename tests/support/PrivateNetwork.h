#pragma once
// Whether this process runs inside the project's own network namespace
// (scripts/netns.sh): started through it, and no interface but lo (and the
// sink d0). Anything that sends checks this first.
#include <net/if.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace testsupport {

inline bool InPrivateNetwork(std::string* why) {
  const char* flag = std::getenv("QUILL_NETNS");
  if (!flag || std::strcmp(flag, "1") != 0) {
    *why = "not started through scripts/netns.sh";
    return false;
  }
  struct if_nameindex* list = if_nameindex();
  if (!list) {
    *why = "cannot list interfaces";
    return false;
  }
  bool ok = true;
  for (auto* p = list; p->if_index != 0; ++p) {
    if (std::strcmp(p->if_name, "lo") != 0 && std::strcmp(p->if_name, "d0") != 0) {
      ok = false;
      *why = std::string("foreign interface ") + p->if_name;
    }
  }
  if_freenameindex(list);
  return ok;
}

}  // namespace testsupport
