#pragma once
// The base chains of this network namespace's nftables ruleset that see
// incoming IPv4 datagrams (the input hook of the ip and inet families),
// read from the kernel over netlink. Reading the ruleset needs
// CAP_NET_ADMIN: an ordinary user gets EPERM, which says nothing about
// whether a firewall runs.
#include <string>
#include <vector>

namespace net {

struct NftInputChain {
  std::string family;  // "ip" or "inet", as nft spells it
  std::string table;
  std::string chain;
  bool dropPolicy = false;  // what is not accepted by a rule is dropped
  unsigned rules = 0;
  // Whether anything in it can drop a datagram: a rule, or its policy.
  bool Filters() const { return dropPolicy || rules > 0; }
};

// 0 with *out filled (empty: no such chain), or the errno value of the
// failure (EPERM without the privilege, EPROTONOSUPPORT without nftables
// in the kernel).
int ListNftInputChains(std::vector<NftInputChain>* out);

}  // namespace net
