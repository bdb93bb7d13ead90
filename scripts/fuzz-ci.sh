#!/usr/bin/env bash
# The fuzz targets in every CI run (CTest fuzz_targets): builds them with
# clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz, then runs each over its seed corpus and on for the fixed
# number of executions tests/fuzz/targets.txt gives it (seconds each).
# Fails when any target crashes, breaks an invariant, leaks, hangs or a
# sanitizer reports; exit 77 (skipped) when clang is not installed.
# New inputs go to a temporary folder: the seeds in the tree stay as they are.
set -euo pipefail
source "$(dirname "$0")/fuzz-common.sh"

fuzz_need_clang
echo "== building the fuzz targets in $FUZZ_BUILD"
fuzz_build

mkdir -p "$FUZZ_BUILD/logs"
work=$(mktemp -d /tmp/quill-fuzz-ci.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=()
skipped=()
while read -r name runs network; do
  fuzz_command "$name" "$network" "$work/$name" -runs="$runs"
  log=$FUZZ_BUILD/logs/$name.ci.log
  start=$SECONDS
  rc=0
  "${FUZZ_CMD[@]}" >"$log" 2>&1 || rc=$?
  if [ "$rc" -eq 77 ]; then
    skipped+=("$name")
    echo "$name: SKIPPED ($(grep -m1 SKIPPED "$log" || echo 'no private network'))"
    continue
  fi
  printf '%-16s %8s executions  %3ds  exit %d\n' "$name" "$(fuzz_executions "$log")" $((SECONDS - start)) "$rc"
  if [ "$rc" -ne 0 ]; then
    failed+=("$name")
    grep -E 'ERROR|invariant|SUMMARY|runtime error|Test unit written' "$log" | head -20 || true
    echo "   (whole output: $log)"
  fi
done < <(fuzz_targets)

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (reproduce: $FUZZ_BUILD/fuzz_NAME FILE, inside scripts/netns.sh for a target marked net)"
  exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then echo "fuzz: not run without a private network: ${skipped[*]}"; fi
echo "fuzz: all targets passed"
