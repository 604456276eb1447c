#!/usr/bin/env bash
# Builds both targets and runs every test: Linux natively, and the 32-bit Windows programs,
# the ones that ship, under 32-bit wine. Pass target names to run some only: linux,
# windows, or windows64 (the same sources as 64-bit programs, not run by default).
set -euo pipefail
cd "$(dirname "$0")/.."

run_preset() {
  echo "=== $1: configure, build, test"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$(nproc)"
  ctest --preset "$1" -j "$(nproc)"
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(linux windows)
for target in "${targets[@]}"; do
  if [ "$target" = windows ]; then
    if ! scripts/enable-i386.sh --check; then
      echo "=== windows: 32-bit programs cannot run on this machine, so the programs we ship"
      echo "    cannot be tested. Run scripts/setup.sh as root: it registers qemu-i386 for them."
      exit 1
    fi
  fi
  run_preset "$target"
done
