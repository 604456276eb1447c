#!/usr/bin/env bash
# Runs the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, then the tests
# labelled "tsan" (every suite but those tests/CMakeLists.txt names as starting no thread;
# the load at reduced size) under ThreadSanitizer; the servers those tests start are
# instrumented too.
# Pass "asan" or "tsan" to run one of them.
# Every report, from a test binary or from any program a test starts, is written to a file
# in build/sanitize-reports/, so that none is lost in a child's captured output; any such
# file fails the script, after it has been printed.
set -euo pipefail
cd "$(dirname "$0")/.."

phases=("$@")
[ ${#phases[@]} -gt 0 ] || phases=(asan tsan)
reports="$PWD/build/sanitize-reports"
rm -rf "$reports"
mkdir -p "$reports"
# A distinct exit code: 1 is what the log server returns when its manager goes away.
export ASAN_OPTIONS="log_path=$reports/asan:exitcode=86:detect_leaks=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
# atexit_sleep_ms=0: by default ThreadSanitizer waits a second before a process with live
# threads may exit, and the server must end within a second of its manager.
export TSAN_OPTIONS="log_path=$reports/tsan:exitcode=86:halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0"

status=0
for phase in "${phases[@]}"; do
  echo "=== $phase: configure, build, test"
  cmake --preset "$phase" >/dev/null
  cmake --build --preset "$phase" -j "$(nproc)" >/dev/null
  case "$phase" in
    asan) ctest --preset asan -j "$(nproc)" || status=1 ;;
    tsan)
      TOBRIN_LOAD_MESSAGES=12 ctest --preset tsan -j "$(nproc)" -L '^tsan$' || status=1
      ;;
    *) echo "unknown phase $phase" >&2; exit 2 ;;
  esac
done

if [ -n "$(ls -A "$reports")" ]; then
  for report in "$reports"/*; do
    echo "=== sanitizer report $report"
    cat "$report"
  done
  status=1
else
  echo "=== no sanitizer reports"
fi
exit "$status"
