#!/usr/bin/env bash
# Takes every picture of the documentation, against the simulated devices in
# the private network, so nothing reaches a real network:
#   screenshot.png        what the README's first command shows
#                         (scripts/run-explorer.sh --screenshot, under Xvfb);
#   main-window-idle.png  the main window, idle and busy, as a user sees
#   main-window-busy.png  them: under Xvfb with a real window manager
#                         (openbox), driven with the keyboard;
#   main-window-300.png   300 devices sorted by Ethernet address, the kind
#                         column shown (header clicks with the mouse);
#   main-window-upgrade-3.png  three of them found with Ctrl+F, selected and
#                         upgraded with one image.
#
#   scripts/docs-screenshots.sh [OUT_DIR]     (default: docs)
#
# A picture with the window manager's frame records its extents in a PNG
# text chunk, "Frame" = "left right top bottom", so a test can tell that it
# shows the window at its current size (app_docs_test). Builds what it needs
# (through scripts/run-explorer.sh, BUILD_DIR, default build); needs the
# packages of scripts/bootstrap.sh (xvfb, openbox, xdotool, imagemagick,
# x11-utils).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}

# --- inside the namespace and the X server --------------------------------
if [ "${1:-}" = "--in-x" ] || [ "${1:-}" = "--in-x-many" ]; then
  PHASE=$1
  OUT=$2
  TMP=$3
  openbox >/dev/null 2>&1 &
  wm=$!
  explorer=""
  trap 'kill $explorer $wm 2>/dev/null; wait 2>/dev/null || true' EXIT
  sleep 1
  "$BUILD/bin/explorer" >"$TMP/explorer.log" 2>&1 &
  explorer=$!
  wid=""
  for _ in $(seq 100); do
    wid=$(xdotool search --onlyvisible --name '^Osprey Panel Explorer$|^.* Explorer$' 2>/dev/null | head -1 || true)
    [ -n "$wid" ] && break
    sleep 0.1
  done
  [ -n "$wid" ] || { cat "$TMP/explorer.log" >&2; echo "docs-screenshots: no main window" >&2; exit 1; }
  xdotool windowactivate --sync "$wid" >/dev/null 2>&1 || true
  sleep 0.5

  # The whole window with the window manager's frame around it.
  shot() {
    local l r t b x y w h
    read -r l r t b <<<"$(xprop -id "$wid" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')"
    x=$(xwininfo -id "$wid" | awk '/Absolute upper-left X/ {print $4}')
    y=$(xwininfo -id "$wid" | awk '/Absolute upper-left Y/ {print $4}')
    w=$(xwininfo -id "$wid" | awk '/Width:/ {print $2}')
    h=$(xwininfo -id "$wid" | awk '/Height:/ {print $2}')
    import -window root -crop "$((w + l + r))x$((h + t + b))+$((x - l))+$((y - t))" +repage "$TMP/frame.png"
    # Without time stamps, so a picture that did not change stays the same file.
    convert "$TMP/frame.png" -set Frame "$l $r $t $b" -define png:exclude-chunks=date,time "$1"
  }
  # Typed as on a keyboard, into the window that has the focus.
  key() { xdotool key --delay 150 "$@"; sleep 0.3; }
  # Waits (bounded) for a window whose title matches.
  await() {
    for _ in $(seq 100); do
      xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 && return 0
      sleep 0.1
    done
    echo "docs-screenshots: no window \"$1\"" >&2
    return 1
  }

  if [ "$PHASE" = "--in-x-many" ]; then
    key F5
    sleep 15   # three discovery passes of 4.4 s, and 300 rows
    # The list's header, in window coordinates of this layout under Xvfb:
    # Ethernet Address at the left, the columns' menu from a right click.
    xdotool mousemove --window "$wid" 80 34 click 1
    sleep 0.5
    xdotool mousemove --window "$wid" 300 34 click 3
    sleep 0.5
    key Down Return     # Device Kind, the menu's first item
    xdotool mousemove --window "$wid" 400 300
    sleep 0.5
    shot "$OUT/main-window-300.png"

    # Ctrl+F finds the bench's devices; Return goes back to the rows, on
    # the first one; Shift+Down takes two more. Alt+U asks for the image
    # once, then whether it serves the other two.
    key ctrl+f
    xdotool type --delay 120 "C2:30:00:0"
    sleep 0.3
    key Return shift+Down shift+Down alt+u
    await '^Upgrade '
    sleep 0.5
    xdotool type --delay 20 "$ROOT/tools/devicesim/sample-firmware.pak"
    key Return
    await '^Upgrade firmware$'
    sleep 0.5
    key Return           # Yes
    sleep 1.5
    shot "$OUT/main-window-upgrade-3.png"
    exit 0
  fi

  # Focus starts in the device list; Tab reaches Scan, Space presses it.
  key Tab space
  sleep 14.5   # three discovery passes of 4.4 s
  # Scan was disabled while it ran, so the focus went on to Exit: back over
  # Scan to the list, and pick a device there (the third row, a web kind).
  key shift+Tab shift+Tab Down Down
  sleep 0.5
  shot "$OUT/main-window-idle.png"

  # The last row is the slow device. Set IP address (the eighth tab stop
  # from the list: Scan, Exit, Help and the first five action buttons before
  # it) opens the network parameters dialog; OK there sends the parameters,
  # which the device takes its time to answer: the busy display with the
  # longest status text of the family.
  key End Tab Tab Tab Tab Tab Tab Tab Tab space
  for _ in $(seq 60); do
    xdotool search --onlyvisible --name '^IP Address and Netmask needed$' >/dev/null 2>&1 && break
    sleep 0.1
  done
  key Return
  sleep 1.2
  shot "$OUT/main-window-busy.png"
  exit 0
fi

# --- inside the private network: the simulator, then the X server --------
if [ "${1:-}" = "--in-namespace" ]; then
  OUT=$2
  TMP=$3
  # The sample devices and one that answers its requests late.
  "$BUILD/bin/devicesim" --file tools/devicesim/sample-devices.txt \
    --device "00:50:C2:10:00:09 1 192.168.1.40 255.255.255.0 kqe late=3500" >"$TMP/sim.log" 2>&1 &
  sim=$!
  trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    grep -qs ready "$TMP/sim.log" && break
    sleep 0.1
  done
  grep -qs ready "$TMP/sim.log" || { cat "$TMP/sim.log" >&2; echo "docs-screenshots: simulator not ready" >&2; exit 1; }
  xvfb-run -a -s "-screen 0 1024x768x24" "$ROOT/scripts/docs-screenshots.sh" --in-x "$OUT" "$TMP"
  kill "$sim" 2>/dev/null
  wait "$sim" 2>/dev/null || true

  # 300 devices: the sample ones and 292 more of every kind, their
  # Ethernet addresses in another order than their IP addresses.
  kinds=(0 1 2 0x10 3 4 0x30 0x11 0x12 0x13 0x31)
  : >"$TMP/many.txt"
  for i in $(seq 0 291); do
    j=$(((i * 97) % 292))
    printf '00:50:C2:30:%02X:%02X %s 127.2.%d.%d 255.0.0.0 kqe\n' $((j / 256)) $((j % 256)) \
      "${kinds[$((j % ${#kinds[@]}))]}" $((i / 250)) $((i % 250 + 1)) >>"$TMP/many.txt"
  done
  "$BUILD/bin/devicesim" --file tools/devicesim/sample-devices.txt --file "$TMP/many.txt" \
    --device "00:50:C2:10:00:09 1 192.168.1.40 255.255.255.0 kqe" >"$TMP/sim-many.log" 2>&1 &
  sim=$!
  for _ in $(seq 100); do
    grep -qs ready "$TMP/sim-many.log" && break
    sleep 0.1
  done
  grep -qs ready "$TMP/sim-many.log" || { cat "$TMP/sim-many.log" >&2; echo "docs-screenshots: simulator not ready" >&2; exit 1; }
  xvfb-run -a -s "-screen 0 1024x768x24" "$ROOT/scripts/docs-screenshots.sh" --in-x-many "$OUT" "$TMP"
  exit $?
fi

OUT=$(mkdir -p "${1:-docs}" && cd "${1:-docs}" && pwd)
for tool in xvfb-run openbox xdotool xprop import convert; do
  command -v "$tool" >/dev/null || { echo "docs-screenshots: $tool is missing (scripts/bootstrap.sh)" >&2; exit 1; }
done
TMP=$(mktemp -d "${TMPDIR:-/tmp}/docs-screenshots.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
# Under Xvfb even beside a desktop, whose fonts and scaling would give the
# window another size than the documentation's.
env -u DISPLAY -u WAYLAND_DISPLAY scripts/run-explorer.sh --screenshot "$OUT/screenshot.png"
scripts/netns.sh "$ROOT/scripts/docs-screenshots.sh" --in-namespace "$OUT" "$TMP"
echo "docs-screenshots: wrote $OUT/screenshot.png, $OUT/main-window-idle.png, $OUT/main-window-busy.png," \
  "$OUT/main-window-300.png and $OUT/main-window-upgrade-3.png"
