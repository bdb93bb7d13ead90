#!/usr/bin/env bash
# Builds the explorer and runs it against simulated devices, all inside a
# private network namespace (scripts/netns.sh): the scan's broadcasts and
# every probe stay there and never reach a real network.
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
  args=()
  [ -n "$SHOT" ] && args=(--screenshot "$SHOT")
  if [ -n "${DISPLAY:-}" ]; then
    "$BUILD/bin/explorer" "${args[@]}"
  else
    xvfb-run -a -s "-screen 0 1280x800x24" "$BUILD/bin/explorer" "${args[@]}"
  fi
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
cmake --build "$BUILD" -j"$(nproc)" --target explorer Quillbox devicesim
exec scripts/netns.sh "$ROOT/scripts/run-explorer.sh" --in-namespace "$SHOT"
