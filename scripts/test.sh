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

# A prefix made while 32-bit programs could not run has an empty syswow64, and every 32-bit
# program in it fails to start (status 53); it is made again on first use.
drop_broken_prefix() {
  local windows=$1/wineprefix/drive_c/windows
  if [ -d "$windows/syswow64" ] && [ -z "$(ls -A "$windows/syswow64")" ]; then
    echo "=== $1/wineprefix was made while 32-bit programs could not run; making it again"
    rm -rf "$1/wineprefix"
  fi
}

# The prefix is made before the tests start: several tests starting wine at once in a prefix
# that is still being made can find it half made (seen under qemu-i386: "could not load
# kernel32.dll").
make_prefix() {
  WINEPREFIX="$PWD/$1/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= \
    sh -c 'wineboot -i && wineserver -w' >/dev/null 2>&1 || true
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
    drop_broken_prefix build/windows
    make_prefix build/windows
  fi
  run_preset "$target"
done
