#!/usr/bin/env bash
# Builds the explorer and runs it against simulated devices, all inside
# private network namespaces: the scan's broadcasts and every probe stay
# there and never reach a real network. As root it runs on a PC with two
# links (scripts/netns-links.sh), the sample devices split between the two
# segments, as on a technician's laptop with Wi-Fi and a cable to the bench;
# otherwise in the one loopback namespace of scripts/netns.sh.
#
#   scripts/run-explorer.sh                    # with a display: use the window
#   scripts/run-explorer.sh --screenshot FILE  # scan once, save FILE, exit
#
# Without a display it runs under Xvfb and always takes the screenshot
# (default: build/explorer-screenshot.png). The display must be reachable
# through a Unix socket path (a local X server); a display forwarded over
# TCP cannot be reached from the private namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}

run_window() {
  local shot=$1
  local args=()
  [ -n "$shot" ] && args=(--screenshot "$shot")
  if [ -n "${DISPLAY:-}" ]; then
    "$BUILD/bin/explorer" "${args[@]}"
  else
    xvfb-run -a -s "-screen 0 1280x800x24" "$BUILD/bin/explorer" "${args[@]}"
  fi
}

# In the PC namespace of the link topology, the simulators already running.
if [ "${1:-}" = "--on-links" ]; then
  SHOT=${2:-}
  # The scan finds the devices behind link B by itself; their web pages and
  # the rest are reached through host routes, as a technician's own subnet
  # on the cable would be.
  for ip in $(awk '!/^[[:space:]]*#/ && NF >= 3 {print $3}' "${3:?}"); do
    case "$ip" in 0.0.0.0 | 127.*) ;; *) ip route replace "$ip/32" via 10.20.0.2 dev qlb ;; esac
  done
  run_window "$SHOT"
  exit $?
fi

if [ "${1:-}" = "--in-namespace" ]; then
  shift
  SHOT=${1:-}
  log=$(mktemp)
  "$BUILD/bin/devicesim" --file tools/devicesim/sample-devices.txt >"$log" 2>&1 &
  sim=$!
  trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$log"' EXIT
  for _ in $(seq 100); do
    grep -q ready "$log" && break
    kill -0 "$sim" 2>/dev/null || { cat "$log" >&2; echo "run-explorer: device simulator did not start" >&2; exit 1; }
    sleep 0.1
  done
  grep -q ready "$log" || { cat "$log" >&2; echo "run-explorer: device simulator not ready" >&2; exit 1; }
  run_window "$SHOT"
  exit $?
fi

SHOT=""
while [ $# -gt 0 ]; do
  case "$1" in
    --screenshot) SHOT=$(readlink -f "${2:?--screenshot needs a file name}"); shift 2 ;;
    *) echo "usage: $0 [--screenshot FILE]" >&2; exit 2 ;;
  esac
done
if [ -z "${DISPLAY:-}" ] && [ -z "$SHOT" ]; then
  SHOT="$ROOT/$BUILD/explorer-screenshot.png"
fi

scripts/bootstrap.sh
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# explorerctl and its manual page too, so the README's terminal examples
# work after this command alone.
cmake --build "$BUILD" -j"$(nproc)" --target explorer Quillbox devicesim explorerctl explorerctl_man
if [ "$(id -u)" -eq 0 ]; then
  # Every other sample device behind link A, the rest behind link B. The
  # halves live in the build folder, so the sample configurations they name
  # get the sample file's folder in front.
  a="$ROOT/$BUILD/run-explorer-link-a.txt"
  b="$ROOT/$BUILD/run-explorer-link-b.txt"
  half() {
    awk -v half="$1" -v dir="$ROOT/tools/devicesim" '!/^[[:space:]]*(#|$)/ {
      for (i = 6; i <= NF; i++) if ($i ~ /^config=[^\/]/) $i = "config=" dir "/" substr($i, 8)
      if (n++ % 2 == half) print
    }' tools/devicesim/sample-devices.txt
  }
  half 0 >"$a"
  half 1 >"$b"
  QUILL_BIN_DIR="$ROOT/$BUILD/bin" exec scripts/netns-links.sh --devices 0 "$a" --devices 1 "$b" \
    "$ROOT/scripts/run-explorer.sh" --on-links "$SHOT" "$b"
fi
exec scripts/netns.sh "$ROOT/scripts/run-explorer.sh" --in-namespace "$SHOT"
