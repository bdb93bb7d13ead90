#pragma once
// Tests that broadcast, ping or talk to a simulated device call
// QUILL_REQUIRE_PRIVATE_NETWORK() first: outside the project's own network
// namespaces (scripts/netns.sh, scripts/netns-links.sh) they skip instead
// of sending anything.
#include <gtest/gtest.h>

#include <string>

#include "PrivateNetwork.h"

#define QUILL_REQUIRE_PRIVATE_NETWORK()                                        \
  do {                                                                         \
    std::string quill_why_;                                                    \
    if (!testsupport::InPrivateNetwork(&quill_why_))                           \
      GTEST_SKIP() << "private network namespace required: " << quill_why_;    \
  } while (0)
