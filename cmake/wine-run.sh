#!/bin/sh
# Runs a Windows program under wine for ctest. wineserver and wine's helper processes
# inherit the stderr of the wine process that starts them and hold it for seconds after
# the program ends; if that is ctest's capture pipe, every test waits for them. So wine
# writes its stderr to an already-unlinked temp file that is copied out afterwards.
# TOBRIN_WINE names the loader (the 64-bit build runs under /usr/lib/wine/wine64).
: "${WINEDEBUG:=-all}"
export WINEDEBUG
loader=${TOBRIN_WINE:-wine}
# Tests that meet the emulator's known faults ask whether 32-bit code runs under qemu.
if [ "${loader##*/}" != wine64 ] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
  export TOBRIN_I386_EMULATOR=qemu-i386
fi
# The tests and their listing may start wine at the same moment; the prefix is made first.
"$(dirname "$0")/wine-prefix.sh"
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
exec 3>"$err" 4<"$err"
rm -f "$err"
"$loader" "$@" 2>&3 3>&- 4<&-
rc=$?
exec 3>&-
cat <&4 >&2
exit "$rc"
