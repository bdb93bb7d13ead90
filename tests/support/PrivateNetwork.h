#pragma once
// Whether this process runs inside one of the project's own network
// namespaces (scripts/netns.sh, scripts/netns-links.sh); anything that sends
// checks this first. The rule is the simulator's own, so both refuse alike.
#include <string>

#include "tools/devicesim/PrivateNetwork.h"

namespace testsupport {

inline bool InPrivateNetwork(std::string* why) { return privatenet::InPrivateNetwork(why); }

}  // namespace testsupport
