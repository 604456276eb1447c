#!/usr/bin/env bash
# Builds both targets and runs every test: Linux natively, 32-bit Windows under wine.
# Pass "linux" or "windows" to run one target only.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(linux windows)
for target in "${targets[@]}"; do
  echo "=== $target: configure, build, test"
  cmake --preset "$target" >/dev/null
  cmake --build --preset "$target" -j "$(nproc)"
  ctest --preset "$target" -j "$(nproc)"
done
