#include "net/Nftables.h"

// The C library's socket headers first: the kernel's then leave out what
// they already define.
#include <netinet/in.h>
#include <sys/socket.h>

#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string_view>
#include <tuple>

#include "net/Socket.h"

namespace net {
namespace {

// One netfilter netlink message, as sent and as received (the header in
// the host's byte order, the numbers inside nftables attributes big-endian,
// everything padded to 4 bytes):
//
//   0        4        6        8        12       16       17       18       20
//   +--------+--------+--------+--------+--------+--------+--------+--------+------------
//   | length | type   | flags  | seq    | port   | family | version| res_id | attributes
//   +--------+--------+--------+--------+--------+--------+--------+--------+------------
//   `------------------ nlmsghdr -----------------'`------- nfgenmsg --------'
//
//   type = subsystem (NFNL_SUBSYS_NFTABLES) << 8 | message (NFT_MSG_*)
//
//   attribute:  0        2        4
//               +--------+--------+----------------------+-----+
//               | length | type   | value (length - 4)   | pad |
//               +--------+--------+----------------------+-----+
//   A chain's hook (NFTA_CHAIN_HOOK) is nested: its value is attributes.
//   NLMSG_ERROR carries an int (minus an errno, 0 for an acknowledgement)
//   where nfgenmsg would be; NLMSG_DONE ends a dump.
constexpr size_t HEADER_BYTES = NLMSG_HDRLEN;               // 16
constexpr size_t GENMSG_BYTES = NLMSG_ALIGN(sizeof(nfgenmsg));  // 4
constexpr size_t PAYLOAD_OFFSET = HEADER_BYTES + GENMSG_BYTES;
constexpr size_t ATTR_HEADER_BYTES = NLA_HDRLEN;            // 4
constexpr size_t OFF_LENGTH = 0, OFF_TYPE = 4, OFF_FLAGS = 6, OFF_SEQ = 8;
constexpr size_t OFF_FAMILY = HEADER_BYTES;
constexpr size_t OFF_ERROR = HEADER_BYTES;

// A whole ruleset's chains or rules arrive in datagrams of at most a few
// pages; this holds the largest the kernel makes for a dump.
constexpr size_t RECEIVE_BYTES = 64 * 1024;
// The kernel answers at once; this only bounds a kernel that does not.
constexpr auto DUMP_DEADLINE = std::chrono::seconds(2);

uint16_t Get16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t GetBig32(std::string_view value) {
  if (value.size() < 4) return 0;
  const auto* p = reinterpret_cast<const uint8_t*>(value.data());
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
// A string attribute ends with its NUL, which the name does not include.
std::string Text(std::string_view value) { return std::string(value.substr(0, value.find('\0'))); }

// Calls `each(type, value)` for every whole attribute of [p, p + n).
void ForEachAttribute(const uint8_t* p, size_t n, const std::function<void(uint16_t, std::string_view)>& each) {
  size_t at = 0;
  while (at + ATTR_HEADER_BYTES <= n) {
    const uint16_t length = Get16(p + at);
    if (length < ATTR_HEADER_BYTES || at + length > n) return;
    const uint16_t type = Get16(p + at + 2) & NLA_TYPE_MASK;
    each(type, std::string_view(reinterpret_cast<const char*>(p + at + ATTR_HEADER_BYTES),
                                length - ATTR_HEADER_BYTES));
    at += NLA_ALIGN(length);
  }
}

const char* FamilyName(uint8_t family) {
  switch (family) {
    case NFPROTO_IPV4: return "ip";
    case NFPROTO_INET: return "inet";
    default: return nullptr;  // the other families never see an IPv4 datagram arrive
  }
}

// Sends one dump request and hands each answer's family and attributes to
// `each`; 0 or an errno value.
int Dump(Socket& socket, uint16_t message, uint32_t seq,
         const std::function<void(uint8_t, const uint8_t*, size_t)>& each) {
  uint8_t request[PAYLOAD_OFFSET] = {};
  const uint32_t length = sizeof request;
  const uint16_t type = NFNL_SUBSYS_NFTABLES << 8 | message;
  const uint16_t flags = NLM_F_REQUEST | NLM_F_DUMP;
  std::memcpy(request + OFF_LENGTH, &length, 4);
  std::memcpy(request + OFF_TYPE, &type, 2);
  std::memcpy(request + OFF_FLAGS, &flags, 2);
  std::memcpy(request + OFF_SEQ, &seq, 4);
  request[OFF_FAMILY] = NFPROTO_UNSPEC;
  request[OFF_FAMILY + 1] = NFNETLINK_V0;
  size_t sent = 0;
  if (int rc = socket.Send(request, sizeof request, &sent)) return rc;
  if (sent != sizeof request) return EIO;

  std::vector<uint8_t> buf(RECEIVE_BYTES);
  const auto end = std::chrono::steady_clock::now() + DUMP_DEADLINE;
  while (std::chrono::steady_clock::now() < end) {
    bool ready = false;
    if (int rc = socket.WaitReadable(100, &ready)) return rc;
    if (!ready) continue;
    size_t got = 0;
    if (int rc = socket.Recv(buf.data(), buf.size(), &got)) {
      if (rc == EAGAIN || rc == EWOULDBLOCK) continue;
      return rc;
    }
    size_t at = 0;
    while (at + HEADER_BYTES <= got) {
      const uint8_t* m = buf.data() + at;
      const uint32_t mlength = Get32(m + OFF_LENGTH);
      if (mlength < HEADER_BYTES || at + mlength > got) return EPROTO;
      const uint16_t mtype = Get16(m + OFF_TYPE);
      at += NLMSG_ALIGN(mlength);
      if (Get32(m + OFF_SEQ) != seq) continue;  // not ours
      if (mtype == NLMSG_DONE) return 0;
      if (mtype == NLMSG_ERROR) {
        if (mlength < HEADER_BYTES + sizeof(int32_t)) return EPROTO;
        int32_t error;
        std::memcpy(&error, m + OFF_ERROR, sizeof error);
        if (error != 0) return -error;
        continue;
      }
      if (mlength < PAYLOAD_OFFSET) continue;
      each(m[OFF_FAMILY], m + PAYLOAD_OFFSET, mlength - PAYLOAD_OFFSET);
    }
  }
  return ETIMEDOUT;
}

}  // namespace

int ListNftInputChains(std::vector<NftInputChain>* out) {
  out->clear();
  Socket socket;
  if (int rc = socket.Open(AF_NETLINK, SOCK_RAW, NETLINK_NETFILTER)) return rc;

  using Key = std::tuple<std::string, std::string, std::string>;  // family, table, chain
  std::map<Key, size_t> chainAt;
  int rc = Dump(socket, NFT_MSG_GETCHAIN, 1, [&](uint8_t family, const uint8_t* p, size_t n) {
    const char* name = FamilyName(family);
    if (!name) return;
    NftInputChain chain;
    chain.family = name;
    bool input = false;
    bool filter = true;  // a nat chain on the same hook drops nothing
    ForEachAttribute(p, n, [&](uint16_t type, std::string_view value) {
      if (type == NFTA_CHAIN_TYPE) filter = Text(value) == "filter";
      if (type == NFTA_CHAIN_TABLE) chain.table = Text(value);
      if (type == NFTA_CHAIN_NAME) chain.chain = Text(value);
      if (type == NFTA_CHAIN_POLICY) chain.dropPolicy = GetBig32(value) == NF_DROP;
      if (type == NFTA_CHAIN_HOOK)
        ForEachAttribute(reinterpret_cast<const uint8_t*>(value.data()), value.size(),
                         [&](uint16_t hookType, std::string_view hookValue) {
                           if (hookType == NFTA_HOOK_HOOKNUM) input = GetBig32(hookValue) == NF_INET_LOCAL_IN;
                         });
    });
    if (!input || !filter) return;  // a regular chain, another hook, or nat
    chainAt[Key(chain.family, chain.table, chain.chain)] = out->size();
    out->push_back(std::move(chain));
  });
  if (rc != 0 || out->empty()) {
    if (rc != 0) out->clear();
    return rc;
  }
  rc = Dump(socket, NFT_MSG_GETRULE, 2, [&](uint8_t family, const uint8_t* p, size_t n) {
    const char* name = FamilyName(family);
    if (!name) return;
    std::string table, chain;
    ForEachAttribute(p, n, [&](uint16_t type, std::string_view value) {
      if (type == NFTA_RULE_TABLE) table = Text(value);
      if (type == NFTA_RULE_CHAIN) chain = Text(value);
    });
    const auto it = chainAt.find(Key(name, table, chain));
    if (it != chainAt.end()) ++(*out)[it->second].rules;
  });
  if (rc != 0) out->clear();
  return rc;
}

}  // namespace net
