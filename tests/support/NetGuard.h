#pragma once
// Tests that broadcast, ping or talk to a simulated device call
// QUILL_REQUIRE_PRIVATE_NETWORK() first: outside the project's own network
// namespaces (scripts/netns.sh, scripts/netns-links.sh) they skip instead
// of sending anything.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "PrivateNetwork.h"

#define QUILL_REQUIRE_PRIVATE_NETWORK()                                        \
  do {                                                                         \
    std::string quill_why_;                                                    \
    if (!testsupport::InPrivateNetwork(&quill_why_))                           \
      GTEST_SKIP() << "private network namespace required: " << quill_why_;    \
  } while (0)

// Tests of a PC with two links also need the topology of
// scripts/netns-links.sh (its second link is qlb); elsewhere they skip.
#define QUILL_REQUIRE_LINK_TOPOLOGY()                                          \
  do {                                                                         \
    QUILL_REQUIRE_PRIVATE_NETWORK();                                           \
    const char* quill_links_ = std::getenv("QUILL_NETNS_LINKS");               \
    if (!quill_links_ ||                                                       \
        std::string(quill_links_).find("qlb") == std::string::npos)            \
      GTEST_SKIP() << "needs the link topology (scripts/netns-links.sh)";      \
  } while (0)
