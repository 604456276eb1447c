#!/usr/bin/env bash
# Builds both targets and runs every test: Linux natively, 32-bit Windows under wine.
# Pass "linux" or "windows" to run one target only.
#
# Some kernels cannot run 32-bit Linux programs, and wine's 32-bit loader is one. On such a
# host the 32-bit Windows programs are still built (they are the deliverables), and the
# Windows tests run on a 64-bit build of the same sources under wine64 instead.
set -euo pipefail
cd "$(dirname "$0")/.."

run_preset() {
  echo "=== $1: configure, build, test"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$(nproc)"
  [ "${2:-test}" = build-only ] || ctest --preset "$1" -j "$(nproc)"
}

can_run_wine32() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(linux windows)
for target in "${targets[@]}"; do
  if [ "$target" = windows ] && ! can_run_wine32; then
    echo "=== windows: this kernel cannot run 32-bit programs, so wine's 32-bit loader does"
    echo "    not start. The 32-bit programs are built; the Windows tests run on the 64-bit"
    echo "    build of the same sources under wine64."
    run_preset windows build-only
    file build/windows/TobrinLog/TobrinLogger.exe build/windows/tellManager/TellTobrinManager.exe
    run_preset windows64
  else
    run_preset "$target"
  fi
done
