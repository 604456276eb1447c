#!/bin/sh
# Makes the wine prefix that WINEPREFIX names (wine's default when unset) unless it is made,
# and prints nothing on standard output. Wine programs started together in a prefix that is
# still being made can find it half made ("could not load kernel32.dll", "chdir to
# .../server-...: No such file or directory"), so the prefix is made under a lock, by one
# caller, while the others wait for it. ctest's first step and the emulator wrapper both call
# this, the wrapper because ctest lists the tests through it before any test runs.
# TOBRIN_WINE names the loader, as for wine-run.sh. Exit status 0 when the prefix is made.
prefix=${WINEPREFIX:-$HOME/.wine}
loader=${TOBRIN_WINE:-wine}

# A prefix made while 32-bit programs could not run has an empty syswow64, and every 32-bit
# program in it fails to start (status 53). It is worth making again only once they run.
broken() {
  [ "${loader##*/}" != wine64 ] || return 1
  syswow64=$prefix/drive_c/windows/syswow64
  [ -d "$syswow64" ] && [ -z "$(ls -A "$syswow64")" ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# The registry files appear when the wineserver that made the prefix has ended.
made() { [ -f "$prefix/system.reg" ] && ! broken; }

made && exit 0
mkdir -p "$(dirname "$prefix")" || exit 1
exec 9>>"$prefix.lock"
flock 9 || exit 1
made && exit 0
export WINEPREFIX="$prefix" WINEDEBUG=-all
if broken; then
  echo "wine-prefix: $prefix was made while 32-bit programs could not run; making it again" >&2
  wineserver -k 2>/dev/null
  rm -rf "$prefix"
fi
"$loader" wineboot.exe -i >/dev/null 2>&1
wineserver -w
made
