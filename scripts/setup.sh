#!/usr/bin/env bash
# Installs what building and testing both targets needs on a fresh Debian machine:
# the Linux toolchain and GoogleTest, mingw-w64 for 32-bit Windows (and 64-bit, an extra),
# wine to run the Windows tests, clang for the fuzzers, spdlog for the client library's sink,
# groff and dpkg-dev to check the man pages and make the .deb, pip to install tobrin.py from
# the source tree, systemd's tools to check the service's unit and user, and rsyslog, runit
# (svlogd) and s6 (s6-log) for the recipes of the scale-out guide.
# Where the kernel refuses 32-bit programs, it registers qemu-i386 to run them.
#
# A mirror in the middle of a sync can fail one suite's index ("File has unexpected size ...
# Mirror sync in progress?"), and wine32's i386 libraries must then still match their amd64
# twins, so the install fails too ("held broken packages"). The update is tried again; when
# the install still fails, it goes through a private apt view that holds only the suites
# whose indexes downloaded, leaving the machine's own sources and lists as they are.
#
# TOBRIN_APT_ETC (default /etc/apt), TOBRIN_APT_RETRY_PAUSE (seconds, default 5) and
# TOBRIN_ENABLE_I386 (the command run last) let the tests drive it with a stub apt-get.
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev clang libclang-rt-dev
          g++-mingw-w64-i686-posix mingw-w64-i686-dev wine wine32 wine64
          g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev file
          libspdlog-dev rsyslog bsdutils python3 python3-pip groff-base dpkg-dev systemd runit
          s6)
apt_etc=${TOBRIN_APT_ETC:-/etc/apt}
pause=${TOBRIN_APT_RETRY_PAUSE:-5}
tries=3
update_failed=""

say() { echo "setup: $*"; }
die() { echo "setup: $*" >&2; exit 1; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt() { DEBIAN_FRONTEND=noninteractive $sudo apt-get "$@"; }

# Prints the suites named in apt's "Failed to fetch .../dists/SUITE/..." lines.
failed_suites() {
  { grep -o 'Failed to fetch [^ ]*/dists/[^/ ]*/' "$1" || true; } | sed 's|.*/dists/||; s|/$||' | sort -u
}

# Runs "apt-get update" with the options given, up to $tries times. Returns 0 when every
# index downloaded; otherwise leaves the failed suites of the last try in $update_failed.
update() {
  local log try
  log=$(mktemp)
  for ((try = 1; try <= tries; try++)); do
    if apt "$@" update -qq >"$log" 2>&1; then rm -f "$log"; update_failed=""; return 0; fi
    update_failed=$(failed_suites "$log")
    say "apt-get update failed (try $try of $tries)${update_failed:+; indexes that failed: $(echo $update_failed)}"
    [ "$try" -eq "$tries" ] || sleep "$pause"
  done
  cat "$log" >&2
  rm -f "$log"
  return 1
}

install() { apt "$@" install -y -qq "${missing[@]}" >/dev/null; }

# Copies the machine's apt sources into $1 without the suites in $failed: deb822 files lose
# them from their Suites line (a stanza left with none is dropped), one-line files lose the
# lines that name them.
write_view_sources() {
  local parts=$1 file
  mkdir -p "$parts"
  for file in "$apt_etc"/sources.list.d/*.sources; do
    [ -e "$file" ] || continue
    awk -v failed="$failed" '
      BEGIN { n = split(failed, f, " "); for (i = 1; i <= n; i++) drop[f[i]] = 1 }
      BEGIN { keep = 1 }
      function flush() { if (stanza != "" && keep) printf "%s\n", stanza; stanza = ""; keep = 1 }
      /^[[:space:]]*$/ { flush(); next }
      /^Suites:/ {
        line = "Suites:"; kept = 0
        for (i = 2; i <= NF; i++) if (!($i in drop)) { line = line " " $i; kept++ }
        if (!kept) keep = 0
        $0 = line
      }
      { stanza = stanza $0 "\n" }
      END { flush() }' "$file" >"$parts/${file##*/}"
  done
  for file in "$apt_etc"/sources.list "$apt_etc"/sources.list.d/*.list; do
    [ -e "$file" ] || continue
    awk -v failed="$failed" '
      BEGIN { n = split(failed, f, " "); for (i = 1; i <= n; i++) drop[f[i]] = 1 }
      $1 ~ /^deb/ { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }; if ($(i + 1) in drop) next }
      { print }' "$file" >"$parts/${file##*/}.list"
  done
}

# Installs through a private apt view without the suites that failed.
install_through_view() {
  local view
  view=$(mktemp -d)
  mkdir -p "$view/lists/partial" "$view/cache/archives/partial"
  write_view_sources "$view/parts"
  local options=(-o Dir::Etc::SourceParts="$view/parts" -o Dir::Etc::SourceList=/dev/null
                 -o Dir::State::Lists="$view/lists" -o Dir::Cache="$view/cache")
  say "installing through a private apt view without $(echo $failed)"
  local status=0
  update "${options[@]}" && install "${options[@]}" || status=1
  rm -rf "$view"
  return "$status"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  say "every package is installed"
else
  say "installing ${missing[*]}"
  # wine32 comes from the i386 architecture.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  update || say "going on with the indexes that downloaded"
  failed=$(echo $update_failed)
  if install; then
    say "installed"
  elif [ -n "$failed" ] && install_through_view; then
    say "installed through the private view"
  else
    die "cannot install ${missing[*]}: apt-get install failed${failed:+ with and without the suites $(echo $failed)}"
  fi
fi
# The 32-bit programs are the ones we ship, so they are the ones the tests run.
if [ -n "${TOBRIN_ENABLE_I386:-}" ]; then
  $TOBRIN_ENABLE_I386
else
  $sudo "$(dirname "$0")/enable-i386.sh"
fi
say "done"
