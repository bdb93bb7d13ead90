#!/usr/bin/env bash
# Runs a command on a private "technician's laptop" with several network
# links: a PC namespace joined by one veth pair to each of N segment
# namespaces (default 2). Nothing is connected to a real network.
#
#   link k (k = 0, 1, ...): PC side interface ql<letter> 10.<10(k+1)>.0.1/24,
#                           segment side (same name)     10.<10(k+1)>.0.2/24
#   the PC's default route goes through link 0 (ql a); every segment's
#   default route points back at the PC.
#
# With --routed (at most two links then) the PC has one link more, the
# router link (the next letter, "qlc" after two links): PC side
# 10.99.0.1/24, router namespace 10.99.0.2/24. The router forwards to two
# remote segments, each a namespace of its own behind a link of the router:
#
#   remote r0: router qld 10.30.0.1/24 -- segment qld 10.30.0.2/24
#   remote r1: router qle 10.40.0.1/24 -- segment qle 10.40.0.2/24
#
# The PC routes 10.30.0.0/24 and 10.40.0.0/24 through 10.99.0.2; the router's
# default route points back at the PC, each remote segment's at the router.
# The router forwards directed broadcasts (to 10.30.0.255, 10.40.0.255) that
# come in from the PC; a broadcast to 255.255.255.255 never crosses it.
#
# usage: netns-links.sh [--links N] [--routed] [--unprivileged]
#                       [--devices K FILE]... [--sim-arg ARG]... [--] COMMAND [ARGS...]
#
#   --devices K FILE  starts the device simulator (build/bin/devicesim, or
#                     $QUILL_BIN_DIR/devicesim) inside segment K (a link's
#                     number, or r0/r1 for a remote segment) as root with
#                     the devices of FILE; "@RUNDIR@" in FILE becomes the
#                     run's folder, where the simulator's log also goes. In
#                     a remote segment each device answers only what is sent
#                     to it or its subnet (devicesim --addressed-only).
#   --sim-arg ARG     passes ARG to every simulator started by --devices.
#   --unprivileged    runs COMMAND as uid/gid 65534 without groups (setpriv);
#                     the PC's ping_group_range admits it, as a desktop
#                     distribution's does.
#
# COMMAND runs inside the PC namespace with, in its environment:
#   QUILL_NETNS=1
#   QUILL_NETNS_LINKS     the PC's link interfaces, link 0 first ("qla qlb",
#                         then the router link with --routed)
#   QUILL_NETNS_SEGMENTS  the segment namespaces, same order (/run/netns names;
#                         the router namespace for the router link)
#   QUILL_NETNS_PC        the PC namespace
#   with --routed also:
#   QUILL_NETNS_ROUTER           the router namespace
#   QUILL_NETNS_REMOTE_LINKS     the remote segments' interfaces ("qld qle")
#   QUILL_NETNS_REMOTE_SEGMENTS  their namespaces, same order
#   QUILL_SIM_DIR         the run's folder (simulator logs, device files)
# The names are new for every run, so runs side by side do not meet. The
# namespaces go on every way out; a run killed outright leaves them for the
# next run to sweep. Exit 77 (skipped) when namespaces cannot be made;
# otherwise COMMAND's exit status.
set -u

links=2
routed=0
unprivileged=0
declare -a device_links=() device_files=() sim_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --links) links=${2:?--links needs a number}; shift 2 ;;
    --routed) routed=1; shift ;;
    --unprivileged) unprivileged=1; shift ;;
    --sim-arg) sim_args+=("${2:?--sim-arg needs a value}"); shift 2 ;;
    --devices) device_links+=("${2:?--devices needs a link}"); device_files+=("$(readlink -f "${3:?--devices needs a file}")"); shift 3 ;;
    --) shift; break ;;
    -*) echo "netns-links.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ] || [ "$links" -lt 1 ] || [ "$links" -gt 8 ] || { [ "$routed" -eq 1 ] && [ "$links" -gt 2 ]; }; then
  echo "usage: $0 [--links 1..8] [--routed (with at most 2 links)] [--unprivileged] [--devices K FILE]... COMMAND [ARGS...]" >&2
  exit 2
fi

skip() {
  echo "netns-links.sh: SKIPPED: $*; test not run" >&2
  exit 77
}
command -v ip >/dev/null && command -v nsenter >/dev/null || skip "ip and nsenter are needed"
[ "$(id -u)" -eq 0 ] || skip "making namespaces and links needs root"

# Namespaces of earlier runs whose script was killed outright.
for stale in /run/netns/ql-*; do
  [ -e "$stale" ] || continue
  owner=${stale#/run/netns/ql-}
  owner=${owner%%-*}
  kill -0 "$owner" 2>/dev/null || ip netns del "${stale#/run/netns/}" 2>/dev/null
done

run_id="$$-$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n')"
pc="ql-$run_id-pc"
segments=()
remotes=()
router=
sims=()
command_pid=
rundir=$(mktemp -d /tmp/quill-links-XXXXXX) || skip "no temporary folder"
cleanup() {
  [ -n "$command_pid" ] && kill "$command_pid" 2>/dev/null && wait "$command_pid" 2>/dev/null
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null; done
  for ns in "${remotes[@]}" "${segments[@]}" "$pc"; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$rundir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

in_ns() { local ns=$1; shift; nsenter --net="/run/netns/$ns" -- "$@"; }

ip netns add "$pc" 2>/dev/null || skip "cannot create a network namespace"
in_ns "$pc" ip link set lo up || skip "cannot configure a network namespace"
# IPv4 only: no neighbour discovery chatter on the links.
in_ns "$pc" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
letters=(a b c d e f g h)
names=()

# A veth pair NAME between namespaces NEAR and FAR on NET.0/24: NEAR holds
# .1, FAR holds .2 and routes everything else through NEAR.
veth_link() {
  local near=$1 far=$2 name=$3 net=$4
  ip -n "$near" link add "$name" type veth peer name "$name" netns "$far" || skip "cannot create a veth pair"
  ip -n "$near" addr add "$net.1/24" dev "$name"
  ip -n "$far" addr add "$net.2/24" dev "$name"
  ip -n "$far" link set lo up
  ip -n "$far" link set "$name" up
  ip -n "$near" link set "$name" up
  ip -n "$far" route add default via "$net.1" dev "$name"
}
for ((k = 0; k < links; k++)); do
  name="ql${letters[$k]}"
  seg="ql-$run_id-s$k"
  net="10.$((10 * (k + 1))).0"
  ip netns add "$seg" || skip "cannot create a network namespace"
  segments+=("$seg")
  in_ns "$seg" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  names+=("$name")
  veth_link "$pc" "$seg" "$name" "$net"
  # Devices answer from addresses on their lo; the segment owns them all.
  in_ns "$seg" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
done
ip -n "$pc" route add default via 10.10.0.2 dev qla
in_ns "$pc" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0

remote_names=()
if [ "$routed" -eq 1 ]; then
  name="ql${letters[$links]}"
  router="ql-$run_id-rt"
  ip netns add "$router" || skip "cannot create a network namespace"
  segments+=("$router")
  names+=("$name")
  in_ns "$router" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  veth_link "$pc" "$router" "$name" 10.99.0
  # A directed broadcast is forwarded only when both the router as a whole
  # and the link it comes in on (the PC's side) allow it.
  in_ns "$router" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.all.rp_filter=0 \
    net.ipv4.conf.default.rp_filter=0 net.ipv4.conf.all.bc_forwarding=1 \
    "net.ipv4.conf.$name.bc_forwarding=1"
  for ((r = 0; r < 2; r++)); do
    rname="ql${letters[$((links + 1 + r))]}"
    rseg="ql-$run_id-r$r"
    rnet="10.$((30 + 10 * r)).0"
    ip netns add "$rseg" || skip "cannot create a network namespace"
    remotes+=("$rseg")
    remote_names+=("$rname")
    in_ns "$rseg" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    veth_link "$router" "$rseg" "$rname" "$rnet"
    in_ns "$rseg" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
    ip -n "$pc" route add "$rnet.0/24" via 10.99.0.2 dev "$name"
  done
fi
in_ns "$pc" sysctl -qw net.ipv4.ping_group_range="0 2147483647"

export QUILL_NETNS=1
export QUILL_NETNS_LINKS="${names[*]}"
export QUILL_NETNS_SEGMENTS="${segments[*]}"
export QUILL_NETNS_PC="$pc"
export QUILL_SIM_DIR="$rundir"
if [ "$routed" -eq 1 ]; then
  export QUILL_NETNS_ROUTER="$router"
  export QUILL_NETNS_REMOTE_LINKS="${remote_names[*]}"
  export QUILL_NETNS_REMOTE_SEGMENTS="${remotes[*]}"
fi

# Each link carries its own carrier: wait until the kernel has them up, or
# the first broadcasts would leave before the links can take them.
for _ in $(seq 50); do
  down=$(in_ns "$pc" ip -o link show up | grep -c -e 'ql[a-h]@.*LOWER_UP' || true)
  [ "$down" -ge "${#names[@]}" ] && break
  sleep 0.1
done

bin=${QUILL_BIN_DIR:-$(dirname "$(readlink -f "$0")")/../build/bin}
for i in "${!device_links[@]}"; do
  k=${device_links[$i]}
  own=()
  if [[ "$k" =~ ^r[0-9]$ ]] && [ "${k#r}" -lt "${#remotes[@]}" ]; then
    where=${remotes[${k#r}]}
    link_name=${remote_names[${k#r}]}
    own=(--addressed-only)
  elif [[ "$k" =~ ^[0-9]$ ]] && [ "$k" -lt "$links" ]; then
    where=${segments[$k]}
    link_name=${names[$k]}
  else
    echo "netns-links.sh: no segment $k" >&2; exit 2
  fi
  file="$rundir/devices-$i.txt"
  sed "s|@RUNDIR@|$rundir|g" "${device_files[$i]}" >"$file"
  log="$rundir/devicesim-$i.log"
  QUILL_NETNS_LINKS="$link_name" in_ns "$where" "$bin/devicesim" --file "$file" "${own[@]}" "${sim_args[@]}" >"$log" 2>&1 &
  sims+=("$!")
  ready=0
  for _ in $(seq 100); do
    grep -q '^ready' "$log" && { ready=1; break; }
    kill -0 "${sims[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  [ "$ready" -eq 1 ] || { cat "$log" >&2; echo "netns-links.sh: device simulator on link $k did not start" >&2; exit 1; }
done
chmod 755 "$rundir"

# In the background, so a signal to this script is handled at once and
# still ends everything it started.
if [ "$unprivileged" -eq 1 ]; then
  mkdir -p "$rundir/home" && chown 65534:65534 "$rundir/home"
  HOME="$rundir/home" in_ns "$pc" setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all -- "$@" &
else
  in_ns "$pc" "$@" &
fi
command_pid=$!
wait "$command_pid"
status=$?
command_pid=
exit "$status"
