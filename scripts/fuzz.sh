#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with ASan and UBSan) and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 30] [target...]
# Each run starts from the seeds in fuzz/corpus/<target>/ and keeps what it finds in
# build/fuzz/corpus/<target>/; a crash leaves its input in build/fuzz/artifacts/ and fails
# the script. The summary names the executions and the inputs kept per target.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parse_args tell_command backup_name writer)

build=build/fuzz
cmake -S . -B "$build" -DTOBRIN_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target fuzzers -j "$(nproc)" >/dev/null

mkdir -p "$build/artifacts"
failed=0
summary=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  log="$build/fuzz_$target.log"
  echo "=== fuzz_$target: ${seconds} s"
  # -close_fd_mask=3: the parsers print their messages; libFuzzer keeps its own output and
  # the sanitizers' reports on a descriptor of its own.
  if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$build/artifacts/${target}-" \
      "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed=1
    tail -n 40 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  kept=$(find "$corpus" -type f | wc -l)
  summary+=("fuzz_$target: $status, ${runs:-?} executions in ${seconds} s, $kept inputs kept")
done

echo "=== fuzz summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
