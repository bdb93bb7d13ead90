#!/usr/bin/env bash
# Longer fuzzing: scripts/fuzz.sh [MINUTES] [TARGET...]
#
# MINUTES (default 5) is the whole budget, shared evenly by the targets,
# which run one after another (the machine has two cores, shared); so
# `scripts/fuzz.sh 35` gives each of seven targets five minutes. Targets
# that send datagrams run inside the private network (scripts/netns.sh).
# Each keeps its growing corpus in build-fuzz/corpus/NAME (the seeds in
# tests/fuzz/corpus are only read); findings land in build-fuzz/findings/NAME.
# FUZZ_RUNS=N runs each target for N executions instead (MINUTES is then
# ignored), for a campaign judged by executions rather than time.
# Prints executions, corpus size and findings per target; exits 1 when
# anything was found. A finding, once fixed, joins the seeds with a name
# that says what it was.
set -euo pipefail
source "$(dirname "$0")/fuzz-common.sh"

minutes=${1:-5}
shift || true
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -eq 0 ]; then
  echo "usage: $0 [MINUTES] [TARGET...]" >&2
  exit 2
fi
fuzz_need_clang
fuzz_build

mapfile -t lines < <(fuzz_targets)
if [ $# -gt 0 ]; then
  wanted=" $* "
  mapfile -t lines < <(printf '%s\n' "${lines[@]}" | while read -r n r w; do
    [[ "$wanted" == *" $n "* ]] && echo "$n $r $w"; done)
fi
[ ${#lines[@]} -gt 0 ] || { echo "no such target" >&2; exit 2; }
each=$(( minutes * 60 / ${#lines[@]} ))
[ "$each" -ge 10 ] || each=10
runs=${FUZZ_RUNS:-}
if [ -n "$runs" ]; then
  [[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "FUZZ_RUNS must be a positive number" >&2; exit 2; }
  limit=(-runs="$runs")
  each="$runs runs"
else
  limit=(-max_total_time="$each")
  each="${each}s"
fi
echo "== ${#lines[@]} targets, $each each"

mkdir -p "$FUZZ_BUILD/logs"
summary=()
found=0
for line in "${lines[@]}"; do
  read -r name runs network <<<"$line"
  before=$(fuzz_findings "$name")
  fuzz_command "$name" "$network" "$FUZZ_BUILD/corpus/$name" "${limit[@]}"
  log=$FUZZ_BUILD/logs/$name.log
  echo "-- $name ($each)"
  rc=0
  "${FUZZ_CMD[@]}" >"$log" 2>&1 || rc=$?
  new=$(( $(fuzz_findings "$name") - before ))
  if [ "$rc" -eq 77 ]; then
    summary+=("$(printf '%-16s skipped (no private network)' "$name")")
    continue
  fi
  if [ "$rc" -ne 0 ] && [ "$new" -eq 0 ]; then new=1; fi  # a failure that wrote no file
  found=$((found + new))
  summary+=("$(printf '%-16s %10s executions  %7s/s  corpus %5s  findings %d' "$name" \
    "$(fuzz_executions "$log")" "$(fuzz_rate "$log")" "$(find "$FUZZ_BUILD/corpus/$name" -type f | wc -l)" "$new")")
  if [ "$new" -gt 0 ]; then
    grep -E 'ERROR|invariant|SUMMARY|runtime error|Test unit written' "$log" | head -20 || true
  fi
done
echo "== summary ($each per target; logs in $FUZZ_BUILD/logs, findings in $FUZZ_BUILD/findings)"
printf '%s\n' "${summary[@]}"
[ "$found" -eq 0 ]
