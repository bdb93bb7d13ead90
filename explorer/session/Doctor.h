#pragma once
// "Why was nothing found?": what a discovery pass looked at and what it
// heard, and for every way it asked that heard nothing the likely causes,
// most likely first, each with the exact remedy. explorerctl's doctor
// prints the report; the window shows it under its "No ... found" box.
//
// The report is computed from facts alone, so its rules are tested without
// a network; the probes that read the facts from this computer (its
// adapters, their reverse-path filters, its firewall) are separate
// functions at the end.
#include <cstdint>
#include <string>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/DeviceSocket.h"
#include "explorer/protocol/Targets.h"

// --- Facts ---------------------------------------------------------------

struct AdapterFacts {
  unsigned index = 0;
  std::string name;
  bool up = false;
  bool carrier = false;
  bool broadcast = false;  // a broadcast medium (not point-to-point)
  bool loopback = false;
  uint32_t address = 0;  // network order; 0: no IPv4 address
  uint32_t mask = 0;     // network order
  // The reverse-path filter in force on it (the larger of the adapter's and
  // "all"): 0 off, 1 strict, 2 loose; -1 when it cannot be read.
  int rpFilter = -1;
};

enum class FirewallKind {
  None,       // the ruleset was read and nothing in it filters what comes in
  Nftables,
  Firewalld,
  Ufw,
  Unknown,    // could not be read (the ruleset needs root privileges)
};

struct FirewallFacts {
  FirewallKind kind = FirewallKind::Unknown;
  // Nftables: every input chain that filters; a remedy goes into each,
  // since a datagram must pass all of them.
  struct Chain {
    std::string family, table, chain;
    unsigned rules = 0;
    bool dropPolicy = false;
  };
  std::vector<Chain> chains;
  std::string why;  // Unknown: why it could not be read
};

// One device of the pass, as it answered.
struct AnswerFacts {
  DeviceRecord record;
  CDeviceSocket::Origin origin;
};

// Who shows the report: a remedy that asks another network names the way
// that front-end has (explorerctl's --target, the window's Other networks...).
enum class DoctorFrontEnd { CommandLine, Window };

struct DoctorFacts {
  DoctorFrontEnd frontEnd = DoctorFrontEnd::CommandLine;
  std::vector<AdapterFacts> adapters;  // loopback ones are left out of the report
  bool broadcastEnabled = true;
  // The links the broadcast left through; empty with broadcasts enabled
  // means it left where the routing sent it.
  std::vector<CDeviceSocket::Link> sentLinks;
  bool sendFailed = false;  // nothing could be sent at all
  std::vector<DiscoveryTarget> targets;
  std::vector<CDeviceSocket::TargetSend> targetSends;  // per target; may be shorter
  std::vector<AnswerFacts> answers;
  FirewallFacts firewall;
};

// --- The report ------------------------------------------------------------

// Why an adapter was sent no broadcast, first that applies.
enum class NotSentReason {
  None,             // it was sent one
  Down,             // switched off (administratively down)
  NoCarrier,        // up, but no cable or no link
  NoAddress,        // no IPv4 address
  CannotBroadcast,  // a point-to-point link (VPN, modem)
  BroadcastsOff,    // the broadcasts were switched off (--no-broadcast)
  SendFailed,       // it could carry one, but the send failed
};

enum class CauseKind {
  Firewall,           // the host's firewall drops the answers
  ReversePath,        // strict reverse-path filtering drops answers from other subnets
  Router,             // the devices are behind a router, which no broadcast crosses
  DirectedBroadcast,  // the router does not forward a subnet's broadcast
};

struct DoctorCause {
  CauseKind kind;
  std::string text;    // what may be happening
  std::string remedy;  // what to type or do about it
};

struct DoctorAdapter {
  std::string name;
  bool up = false;
  bool carrier = false;
  bool broadcastCapable = false;
  uint32_t address = 0;  // network order; 0: none
  int prefix = -1;       // -1: no address
  NotSentReason notSent = NotSentReason::None;
  int answers = 0;  // devices whose answer came in through it
  int rpFilter = -1;
  // Only for an adapter that was sent a broadcast and heard nothing.
  std::vector<DoctorCause> causes;
  bool broadcastSent() const { return notSent == NotSentReason::None; }
};

struct DoctorTarget {
  std::string spec;
  DiscoveryTarget::Kind kind = DiscoveryTarget::Kind::Host;
  uint32_t requests = 0;  // addresses it asks
  uint32_t sent = 0;      // requests that left
  int sendError = 0;      // errno of the first that did not leave
  int answers = 0;
  std::vector<DoctorCause> causes;  // only when it was sent and heard nothing
};

// A device that answered a link's broadcast from an address outside that
// link's subnet: UDP reaches it, TCP (web page, configuration, upgrade)
// does not, since the routing sends that elsewhere.
struct StrayDevice {
  std::string mac;
  uint32_t ip = 0;
  std::string adapter;
  uint32_t network = 0;  // the adapter's subnet
  int prefix = 0;
  std::string remedy;
};

struct DuplicateAddress {
  uint32_t ip = 0;
  std::vector<std::string> macs;  // in the order they answered
};

struct DoctorReport {
  int devices = 0;
  bool broadcastEnabled = true;
  // The broadcast left where the routing sent it: no adapter could carry one.
  bool broadcastRouted = false;
  bool sendFailed = false;
  std::vector<DoctorAdapter> adapters;
  std::vector<DoctorTarget> targets;
  std::vector<StrayDevice> outsideSubnet;
  std::vector<DuplicateAddress> duplicates;
  FirewallFacts firewall;
};

DoctorReport BuildDoctorReport(const DoctorFacts& facts);

// For people: a few lines per adapter and target, then what to do.
std::string DoctorText(const DoctorReport& report);
// For programs: one object with fixed keys (README, "Troubleshooting").
std::string DoctorJson(const DoctorReport& report);

// The rule that lets the devices' answers in, as the README gives it for
// each firewall (for nftables, one per filtering input chain).
std::string FirewallRemedy(const FirewallFacts& firewall);
// The short name of a reason an adapter was sent no broadcast ("no carrier").
const char* NotSentText(NotSentReason reason);
// The stable identifier of a cause ("firewall", "rp_filter", ...).
const char* CauseId(CauseKind kind);

// --- Probes of this computer ------------------------------------------------

// Every interface with its state and IPv4 address, and its reverse-path
// filter.
std::vector<AdapterFacts> ProbeAdapters();
// The reverse-path filter in force on interface `name` (see AdapterFacts),
// read under `confDir` (/proc/sys/net/ipv4/conf).
int ReadRpFilter(const std::string& name, const std::string& confDir = "/proc/sys/net/ipv4/conf");
// Which firewall guards this computer: firewalld when it runs, ufw when it
// is enabled, else the nftables ruleset when it can be read.
FirewallFacts ProbeFirewall();
// Whether a process of this name runs, looked up under `procDir`.
bool ProcessRuns(const std::string& name, const std::string& procDir = "/proc");
// Whether ufw's configuration says it is enabled.
bool UfwEnabled(const std::string& confFile = "/etc/ufw/ufw.conf");

// The facts of the Discover `transport` ran last, which left `records`
// (in the order they answered), with the probes above run now.
DoctorFacts GatherDoctorFacts(const CDeviceSocket& transport, const std::vector<DeviceRecord>& records,
                              DoctorFrontEnd frontEnd);
