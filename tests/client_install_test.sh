#!/usr/bin/env bash
# The client library as a user gets it: installed into an empty prefix, then small programs
# built against it with find_package(Tobrin CONFIG) and with pkg-config, and run; a C program
# links the static library in a C-only project and with pkg-config --static; the C, C++
# and spdlog examples of docs/clients.md build against it.
#   client_install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tobrin-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
prefix=$tmp/prefix
missing=$tmp/no-server.sock

"$cmake" --install "$build" --prefix "$prefix" --component client >"$tmp/install.out" 2>&1 ||
  { cat "$tmp/install.out"; fail "cmake --install"; }

"$cmake" -S "$source/tests/client_install" -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$tmp/configure.out" 2>&1 || { cat "$tmp/configure.out"; fail "find_package(Tobrin CONFIG)"; }
"$cmake" --build "$tmp/cmake" >"$tmp/build.out" 2>&1 || { cat "$tmp/build.out"; fail "the CMake build"; }
"$tmp/cmake/consumer" "$missing" || fail "the program linked with Tobrin::client"
"$tmp/cmake/consumer_static" "$missing" || fail "the program linked with Tobrin::client_static"
"$cmake" -S "$source/tests/client_install/c_only" -B "$tmp/c_only" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$tmp/c_only.out" 2>&1 && "$cmake" --build "$tmp/c_only" >>"$tmp/c_only.out" 2>&1 ||
  { cat "$tmp/c_only.out"; fail "Tobrin::client_static in a C-only project"; }
"$tmp/c_only/consumer_c" "$missing" || fail "the C program linked with Tobrin::client_static"

pc=$(find "$prefix" -name tobrin-client.pc)
[ -n "$pc" ] || fail "no tobrin-client.pc installed"
export PKG_CONFIG_PATH=${pc%/*}
flags=$(pkg-config --cflags --libs tobrin-client) || fail "pkg-config tobrin-client"
cc -o "$tmp/consumer_pc" "$source/tests/client_install/consumer.c" $flags || fail "cc $flags"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir tobrin-client) "$tmp/consumer_pc" "$missing" ||
  fail "the program built with pkg-config"
# -static: the archive, and only what the .pc file says it needs beside the C library.
static_flags=$(pkg-config --static --cflags --libs tobrin-client) || fail "pkg-config --static"
cc -static -o "$tmp/consumer_pc_static" "$source/tests/client_install/consumer.c" $static_flags \
  2>"$tmp/static.out" || { cat "$tmp/static.out"; fail "cc -static $static_flags"; }
"$tmp/consumer_pc_static" "$missing" || fail "the program built with pkg-config --static"

# The examples of docs/clients.md, pasted as a user would below the section's first one:
# the library's header and their #include lines first, the rest as the body of main; each
# must build against the install with pkg-config.
#   build_example LANG SECTION N COMPILER [PKG...]
build_example() {
  local lang=$1 section=$2 n=$3 compiler=$4 text flags
  shift 4
  text=$(awk -v fence="\`\`\`$lang" -v title="## $section" -v want="$n" '
    /^## / { on = ($0 == title) }
    block && /^```$/ { block = 0; next }
    on && $0 == fence { block = (++count == want); next }
    block' "$source/docs/clients.md")
  [ -n "$text" ] || fail "clients.md has no $lang example $n under \"$section\""
  { printf '#include <%s>\n' stdio.h tobrin/client.h; sed -n '/^#include/p' <<<"$text"
    echo "int main(void) {"; sed '/^#include/d' <<<"$text"; echo "return 0; }"; } >"$tmp/example.$lang"
  flags=$(pkg-config --cflags --libs tobrin-client "$@") || fail "pkg-config tobrin-client $*"
  "$compiler" -o "$tmp/example" "$tmp/example.$lang" $flags >"$tmp/example.out" 2>&1 ||
    { cat "$tmp/example.$lang" "$tmp/example.out"; fail "the $section example $n does not build"; }
}
build_example c C 1 cc
build_example c C 2 cc
build_example cpp C++ 1 c++
if pkg-config --exists spdlog; then
  build_example cpp spdlog 1 c++ spdlog
else
  echo "pkg-config knows no spdlog (Debian package libspdlog-dev): its example is not built"
fi
echo "PASS"
