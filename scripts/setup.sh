#!/usr/bin/env bash
# Installs what building and testing both targets needs on a fresh Debian machine:
# the Linux toolchain and GoogleTest, mingw-w64 for 32-bit Windows (and 64-bit, an extra),
# wine to run the Windows tests, clang for the fuzzers, and rsyslog for the scale-out test.
# Where the kernel refuses 32-bit programs, it registers qemu-i386 to run them.
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev clang libclang-rt-dev
          g++-mingw-w64-i686-posix mingw-w64-i686-dev wine wine32 wine64
          g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev file
          rsyslog bsdutils python3)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: every package is installed"
else
  echo "setup: installing ${missing[*]}"
  # wine32 comes from the i386 architecture.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# The 32-bit programs are the ones we ship, so they are the ones the tests run.
$sudo "$(dirname "$0")/enable-i386.sh"
echo "setup: done"
