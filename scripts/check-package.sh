#!/usr/bin/env bash
# Builds the Debian package from a finished build and checks it as a user
# would meet it:
#   1. cpack -G DEB, then lintian (errors and warnings fail);
#   2. its contents: launchers, the private folder, menu entry, metainfo,
#      icons and manual pages, and nothing of the test tools; its
#      Installed-Size against the files it installs;
#   3. unpacked into a throwaway root (dpkg-deb -x), the packaged explorer is
#      started through its launcher inside the private network against the
#      device simulator: it must bind the packaged QUILLBOX.DLL and list the
#      simulated devices; the packaged explorerctl, when there is one, must
#      list them as JSON.
#
#   scripts/check-package.sh [BUILD_DIR]      (default: $BUILD_DIR or build)
#
# Everything it writes lives in one temporary folder, removed on every exit,
# so runs beside other tests (or each other) do not meet. Exit 77 (skipped)
# when no private network namespace can be made.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SELF="$ROOT/scripts/check-package.sh"

fail() { echo "check-package: FAIL: $*" >&2; exit 1; }

# The MACs of tools/devicesim/sample-devices.txt that a scan lists: every
# device but 00:50:C2:10:00:08, whose kind is unknown.
LISTED_MACS="00:50:C2:10:00:01 00:50:C2:10:00:02 00:50:C2:10:00:03 00:50:C2:10:00:04
00:50:C2:10:00:05 00:50:C2:10:00:06 00:50:C2:10:00:07"
UNLISTED_MAC="00:50:C2:10:00:08"

# --- inside the private network: run the unpacked programs -----------------
if [ "${1:-}" = "--in-namespace" ]; then
  TMP=$2
  BUILD=$3
  PKGROOT="$TMP/root"
  cd "$ROOT"
  "$BUILD/bin/devicesim" --verbose --file tools/devicesim/sample-devices.txt >"$TMP/sim.log" 2>&1 &
  sim=$!
  trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    grep -q '^ready' "$TMP/sim.log" && break
    kill -0 "$sim" 2>/dev/null || { cat "$TMP/sim.log" >&2; fail "device simulator did not start"; }
    sleep 0.1
  done
  grep -q '^ready' "$TMP/sim.log" || { cat "$TMP/sim.log" >&2; fail "device simulator not ready"; }

  # Nothing from the build folder may stand in for the packaged files; the
  # loader's own log says which QUILLBOX.DLL the program bound.
  unset LD_LIBRARY_PATH LD_PRELOAD
  export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$TMP/xdg"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  packaged_lib="$PKGROOT/usr/lib/osprey-explorer/QUILLBOX.DLL"
  bound() { grep -qF "calling init: $packaged_lib" "$1".* 2>/dev/null; }

  rc=0
  LD_DEBUG=libs LD_DEBUG_OUTPUT="$TMP/ld-explorer" timeout 120 \
    "$PKGROOT/usr/bin/osprey-explorer" --screenshot "$TMP/shot.png" 2>"$TMP/explorer.err" || rc=$?
  cat "$TMP/explorer.err" >&2
  [ "$rc" -eq 0 ] || fail "packaged explorer ended with $rc"
  bound "$TMP/ld-explorer" || fail "packaged explorer did not bind $packaged_lib"
  # Message boxes of an unattended run are "[caption] text" lines: the
  # library's binding failure and "No ... found" would show there.
  if grep -q '^\[' "$TMP/explorer.err"; then fail "packaged explorer reported a failure"; fi
  grep -q "screenshot saved to" "$TMP/explorer.err" || fail "packaged explorer saved no screenshot"
  [ "$(head -c 8 "$TMP/shot.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
    fail "screenshot is not a PNG picture"
  grep -Eq 'operation 1 from .*, [1-9][0-9]* answers' "$TMP/sim.log" ||
    { cat "$TMP/sim.log" >&2; fail "the simulated devices never answered a discovery"; }
  echo "check-package: packaged explorer bound its library and scanned the devices"

  if [ -e "$PKGROOT/usr/bin/explorerctl" ]; then
    rc=0
    LD_DEBUG=libs LD_DEBUG_OUTPUT="$TMP/ld-ctl" timeout 120 \
      "$PKGROOT/usr/bin/explorerctl" scan --format json >"$TMP/scan.json" 2>"$TMP/ctl.err" || rc=$?
    cat "$TMP/ctl.err" >&2
    [ "$rc" -eq 0 ] || fail "packaged explorerctl scan ended with $rc"
    bound "$TMP/ld-ctl" || fail "packaged explorerctl did not bind $packaged_lib"
    /usr/bin/python3 -c 'import json, sys
devices = json.load(open(sys.argv[1]))
sys.exit(0 if isinstance(devices, list) and devices else 1)' "$TMP/scan.json" ||
      { cat "$TMP/scan.json" >&2; fail "explorerctl scan printed no JSON array of devices"; }
    for mac in $LISTED_MACS; do
      grep -qiF "$mac" "$TMP/scan.json" || { cat "$TMP/scan.json" >&2; fail "explorerctl scan misses $mac"; }
    done
    if grep -qiF "$UNLISTED_MAC" "$TMP/scan.json"; then fail "explorerctl scan lists a device of unknown kind"; fi
    echo "check-package: packaged explorerctl listed the sample devices as JSON"
  fi
  exit 0
fi

# --- outside: build, lint and unpack the package ---------------------------
BUILD=$(cd "${1:-${BUILD_DIR:-$ROOT/build}}" && pwd)
[ -f "$BUILD/CPackConfig.cmake" ] || fail "$BUILD is not a configured build folder"
[ -x "$BUILD/bin/devicesim" ] || fail "$BUILD/bin/devicesim is not built"

for tool in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap.sh installs it)"
done

TMP=$(mktemp -d "${TMPDIR:-/tmp}/check-package.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
trap 'exit 130' INT TERM

cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$TMP/cpack" >"$TMP/cpack.log" 2>&1 ||
  { cat "$TMP/cpack.log" >&2; fail "cpack could not build the package"; }
debs=("$TMP"/cpack/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made ${#debs[@]} packages, expected one"
deb=${debs[0]}
echo "check-package: built $(basename "$deb")"

# lintian complains on standard error when run as root; that line is noise.
lint_rc=0
lintian --fail-on error,warning --display-info "$deb" >"$TMP/lintian.log" 2>&1 || lint_rc=$?
grep -v 'running with root privileges is not recommended' "$TMP/lintian.log" || true
[ "$lint_rc" -eq 0 ] || fail "lintian found errors or warnings"
echo "check-package: lintian found no errors or warnings"

PKGROOT="$TMP/root"
dpkg-deb -x "$deb" "$PKGROOT"
# What apt says the package takes must be what it installs, by dpkg's own
# rule (dpkg-gencontrol): each regular file and symlink in KiB rounded up,
# 1 KiB for anything else (every directory, the top one included).
declared=$(dpkg-deb -f "$deb" Installed-Size)
counted=$(find "$PKGROOT" -printf '%y %s\n' |
  awk '$1 == "f" || $1 == "l" { kib += int(($2 + 1023) / 1024); next } { kib += 1 } END { print kib }')
[ "$declared" = "$counted" ] ||
  fail "Installed-Size is $declared KiB, the package installs $counted KiB"
echo "check-package: Installed-Size $declared KiB is what the package installs"
for f in usr/lib/osprey-explorer/explorer usr/lib/osprey-explorer/QUILLBOX.DLL \
         usr/share/applications/com.ospreypanel.explorer.desktop \
         usr/share/metainfo/com.ospreypanel.explorer.metainfo.xml \
         usr/share/icons/hicolor/scalable/apps/com.ospreypanel.explorer.svg \
         usr/share/icons/hicolor/48x48/apps/com.ospreypanel.explorer.png \
         usr/share/man/man1/osprey-explorer.1.gz usr/share/doc/osprey-explorer/copyright; do
  [ -f "$PKGROOT/$f" ] || fail "package lacks /$f"
done
[ "$(readlink -f "$PKGROOT/usr/bin/osprey-explorer")" = "$PKGROOT/usr/lib/osprey-explorer/explorer" ] ||
  fail "/usr/bin/osprey-explorer does not lead to the private program"
if [ -e "$PKGROOT/usr/bin/explorerctl" ]; then
  [ -f "$PKGROOT/usr/share/man/man1/explorerctl.1.gz" ] || fail "package lacks the manual page of explorerctl"
fi
[ ! -e "$PKGROOT/usr/bin/explorer" ] || fail "package installs a bare /usr/bin/explorer"
if find "$PKGROOT" -name 'devicesim*' | grep -q .; then fail "package carries the device simulator"; fi
desktop-file-validate "$PKGROOT/usr/share/applications/com.ospreypanel.explorer.desktop" ||
  fail "desktop entry is not valid"
# The tree check also finds the desktop entry the metainfo launches.
appstreamcli validate-tree --no-net "$PKGROOT" || fail "AppStream metainfo is not valid"

rc=0
"$ROOT/scripts/netns.sh" "$SELF" --in-namespace "$TMP" "$BUILD" || rc=$?
[ "$rc" -ne 77 ] || echo "check-package: SKIPPED: no private network for the run of the packaged programs" >&2
exit "$rc"
