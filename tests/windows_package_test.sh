#!/usr/bin/env bash
# The release archive as a Windows user gets it: cpack makes it from the finished build,
# it is unpacked into an empty directory, and the demo runs the programs from there under
# wine (in the WINEPREFIX ctest hands over). The archive must hold exactly the programs, the
# README and the client library, and the demo must get its replies and find every message in
# the log.
#   windows_package_test.sh CPACK BUILD_DIR SOURCE_DIR
set -euo pipefail
cpack=$1 build=$2 source=$3

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tobrin-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/cpack" >"$tmp/cpack.out" 2>&1 ||
  { cat "$tmp/cpack.out"; fail "cpack did not make the archive"; }
archives=("$tmp"/cpack/Tobrin-*-win*.zip)
[ -f "${archives[0]}" ] || { cat "$tmp/cpack.out"; fail "no Tobrin-<version>-win32.zip"; }
archive=${archives[0]}
echo "archive: ${archive##*/}, $(wc -c <"$archive") bytes"

mkdir "$tmp/unpacked"
(cd "$tmp/unpacked" && cmake -E tar xf "$archive")
top=$tmp/unpacked/$(basename "$archive" .zip)
contents=$(cd "$top" && LC_ALL=C && echo *)
[ "$contents" = "README.txt TellTobrinManager.exe TobrinLogger.exe bin dev_manager.exe include lib pipe_client.exe" ] ||
  fail "the archive holds: $contents"
# The client library for programs that write into the log: its DLL, import and static
# libraries, headers, CMake package and pkg-config file.
for file in bin/libtobrin-client.dll lib/libtobrin-client.dll.a lib/libtobrin-client.a \
  include/tobrin/client.h lib/cmake/Tobrin/TobrinConfig.cmake lib/pkgconfig/tobrin-client.pc; do
  [ -f "$top/$file" ] || fail "the archive has no $file"
done

# The demo's files go under $tmp; it ends the manager itself on every way out.
status=0
(cd "$top" && TMPDIR=$tmp TOBRIN_DEMO_PORT=0 "$source/scripts/demo.sh" --windows --programs=.) \
  >"$tmp/demo.out" 2>&1 || status=$?
cat "$tmp/demo.out"
[ "$status" -eq 0 ] || fail "the demo ended with status $status"
grep -q "^logserver.state: running" "$tmp/demo.out" || fail "get all: no running log server"
grep -q "^loglevel set to TRACE" "$tmp/demo.out" || fail "set loglevel TRACE: no reply"
grep -q "^stopping the log server" "$tmp/demo.out" || fail "stop: no reply"
expected=$(for i in $(seq 1 12); do echo "message $i from the demo"; done | sort)
[ "$(cat "$tmp"/tobrin-demo.*/server*.log | sort)" = "$expected" ] ||
  fail "the log does not hold the 12 messages once each"
echo "PASS"
