#!/usr/bin/env bash
# Runs a command inside a private network namespace of its own:
#   lo up, default route through lo with source 127.0.0.1 (so an unbound
#   sender's broadcast carries a usable source), and a sink: 10.200.0.0/24 is
#   routed into lo, where nothing owns it, so the kernel drops every packet
#   sent there (a peer that never answers: TCP connects hang, pings go
#   unanswered). Nothing can leave the namespace.
# Exit 77 (skipped) when no namespace can be made; the command is then NOT run.
set -u
if [ "${1:-}" = "--inside" ]; then
  shift
  ip link set lo up || exit 77
  ip route add default dev lo src 127.0.0.1 2>/dev/null || true
  ip route add 10.200.0.0/24 dev lo src 127.0.0.1 2>/dev/null || true
  # Lets unprivileged ICMP datagram sockets be tried as well.
  sysctl -qw net.ipv4.ping_group_range="0 2147483647" 2>/dev/null || true
  # Refuse to go on unless the only interfaces are ours.
  others=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | grep -v -x -e lo -e d0)
  if [ -n "$others" ]; then
    echo "netns.sh: SKIPPED: namespace is not private (found: $others)" >&2
    exit 77
  fi
  export QUILL_NETNS=1
  exec "$@"
fi
if [ $# -eq 0 ]; then
  echo "usage: $0 command [args...]" >&2
  exit 2
fi
self=$(readlink -f "$0")
if unshare -n true 2>/dev/null; then
  exec unshare -n -- "$self" --inside "$@"
elif unshare -rn true 2>/dev/null; then
  exec unshare -rn -- "$self" --inside "$@"
fi
echo "netns.sh: SKIPPED: cannot create a private network namespace (needs root or user namespaces); test not run" >&2
exit 77
