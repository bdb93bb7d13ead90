# Shared by scripts/fuzz-ci.sh and scripts/fuzz.sh (sourced, not run):
# finding clang, building the targets in $FUZZ_BUILD, listing them and
# making the command line of one.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FUZZ_BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
FUZZ_SRC=$ROOT/tests/fuzz

# A report of either sanitizer ends the target's run; leaks count too.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Exit 77 (skipped) with a message when clang or its libFuzzer is missing.
fuzz_need_clang() {
  FUZZ_CXX=$(command -v clang++ || command -v clang++-14 || true)
  if [ -z "$FUZZ_CXX" ]; then
    echo "fuzz: SKIPPED: clang++ is not installed (scripts/bootstrap.sh installs clang and libclang-rt-14-dev)" >&2
    exit 77
  fi
  if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
      "$FUZZ_CXX" -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then
    echo "fuzz: SKIPPED: $FUZZ_CXX cannot link libFuzzer with the sanitizers (libclang-rt-14-dev missing?)" >&2
    exit 77
  fi
}

fuzz_build() {
  cmake -S "$FUZZ_SRC" -B "$FUZZ_BUILD" -DCMAKE_CXX_COMPILER="$FUZZ_CXX" -DQUILL_FUZZ=ON >/dev/null
  cmake --build "$FUZZ_BUILD" -j"${FUZZ_JOBS:-2}"
}

# Lines "name ci-runs network" of tests/fuzz/targets.txt.
fuzz_targets() {
  grep -v '^[[:space:]]*#' "$FUZZ_SRC/targets.txt" | grep -v '^[[:space:]]*$'
}

# fuzz_command NAME NETWORK OUTPUT_CORPUS [libFuzzer flags...]: the command
# line in FUZZ_CMD. New inputs go to OUTPUT_CORPUS; the seeds are only
# read; crashes land in $FUZZ_BUILD/findings/NAME/.
fuzz_command() {
  local name=$1 network=$2 out=$3
  shift 3
  mkdir -p "$FUZZ_BUILD/findings/$name" "$out"
  # libFuzzer reports a finding with 77 unless told otherwise, which CTest
  # would take for "skipped".
  FUZZ_CMD=("$FUZZ_BUILD/fuzz_$name" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
            -error_exitcode=1 -timeout_exitcode=1
            -artifact_prefix="$FUZZ_BUILD/findings/$name/" "$@")
  if [ -f "$FUZZ_SRC/dict/$name.dict" ]; then FUZZ_CMD+=(-dict="$FUZZ_SRC/dict/$name.dict"); fi
  FUZZ_CMD+=("$out" "$FUZZ_SRC/corpus/$name")
  if [ "$network" = net ]; then FUZZ_CMD=("$ROOT/scripts/netns.sh" "${FUZZ_CMD[@]}"); fi
}

# Executions of a finished run, from libFuzzer's final statistics.
fuzz_executions() {
  sed -n 's/^stat::number_of_executed_units: *//p' "$1" | tail -1
}

fuzz_rate() {
  sed -n 's/^stat::average_exec_per_sec: *//p' "$1" | tail -1
}

# What a run left in the findings folder.
fuzz_findings() {
  mkdir -p "$FUZZ_BUILD/findings/$1"
  find "$FUZZ_BUILD/findings/$1" -maxdepth 1 -type f \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l
}
