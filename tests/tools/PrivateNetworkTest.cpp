// The guard that keeps the simulator and the network tests off any real
// network: which namespaces count as the project's own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "tools/devicesim/PrivateNetwork.h"

using privatenet::Facts;

TEST(PrivateNetwork, OnlyTheProjectsOwnNamespacesPass) {
  const struct {
    const char* what;
    Facts facts;
    bool allowed;
  } cases[] = {
      {"loopback namespace of netns.sh", {true, {"lo"}, {}, 0}, true},
      {"the same, owner unknown to an unprivileged user", {true, {"lo"}, {}, -1}, true},
      {"no flag", {false, {"lo"}, {}, 0}, false},
      {"the machine's own namespace, even with the flag", {true, {"lo"}, {}, 1}, false},
      {"the link topology", {true, {"lo", "qla", "qlb"}, {"qla", "qlb"}, 0}, true},
      {"a segment of the topology", {true, {"lo", "qlb"}, {"qlb"}, -1}, true},
      {"a link nobody declared", {true, {"lo", "qla", "qlb"}, {"qla"}, 0}, false},
      {"a real adapter declared as a link", {true, {"lo", "eth0"}, {"eth0"}, -1}, false},
      {"a real adapter beside the links", {true, {"lo", "qla", "wlan0"}, {"qla"}, 0}, false},
      {"the topology's names in the machine's namespace", {true, {"lo", "qla"}, {"qla"}, 1}, false},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(privatenet::IsPrivate(c.facts, &why), c.allowed) << c.what;
    EXPECT_EQ(why.empty(), c.allowed) << c.what << ": every refusal says why";
  }
}

TEST(PrivateNetwork, TheMachinesOwnNamespaceIsRefusedWhateverTheEnvironmentClaims) {
  Facts here = privatenet::ReadFacts();
  if (here.machineNamespace != 1) GTEST_SKIP() << "not running in the machine's own namespace as root";
  setenv("QUILL_NETNS", "1", 1);
  setenv("QUILL_NETNS_LINKS", "qla qlb", 1);
  std::string why;
  EXPECT_FALSE(privatenet::InPrivateNetwork(&why));
  EXPECT_EQ(why, "this is the machine's own network namespace");
  unsetenv("QUILL_NETNS");
  unsetenv("QUILL_NETNS_LINKS");
}
