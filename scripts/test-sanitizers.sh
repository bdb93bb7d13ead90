#!/usr/bin/env bash
# The second CI step: the whole suite once more under AddressSanitizer with
# UndefinedBehaviorSanitizer (leak detection on), and the tests that start
# threads under ThreadSanitizer. Any report fails its test and so the run.
# Extra arguments go to both ctest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
ASAN_DIR=${ASAN_BUILD_DIR:-build-asan}
TSAN_DIR=${TSAN_BUILD_DIR:-build-tsan}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/support/lsan.supp:print_suppressions=0}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: $ASAN_DIR"
cmake -S . -B "$ASAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=address,undefined >/dev/null
cmake --build "$ASAN_DIR" -j"$(nproc)"
# The package is built from the plain build only.
(cd "$ASAN_DIR" && ctest --output-on-failure -j2 -LE package "$@")

# Tests that start threads: the operation queue and its commands, the cancel
# paths, the upgrade worker and the library's guard, the TFTP server, the
# windows that hand work between threads, explorerctl's child processes,
# every exchange of the device transport (its receiving thread, also over
# a shared port), the retrieve store (its pipe waits) and the restart watch.
THREADED='thread_pool|queue|commands|transfer|upgrade|tftp|exports|ftp_session|main_window|scan_window|web_launch|launcher|ctl|protocol_discovery|protocol_exchanges|protocol_links|net_socket$|scan_dialog|setnet_dialog|conntest_dialog|unprivileged|echo_rights|restart_watch|operations_store|receiver_fault|shared_port'
echo "== ThreadSanitizer (tests that start threads): $TSAN_DIR"
cmake -S . -B "$TSAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread >/dev/null
cmake --build "$TSAN_DIR" -j"$(nproc)"
(cd "$TSAN_DIR" && ctest --output-on-failure -j2 -R "$THREADED" "$@")
