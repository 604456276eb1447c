#!/usr/bin/env bash
# The recipes of docs/scale-out.md, run as written with the programs of an installed
# package: the project is installed into an empty prefix, whose bin/ comes first in PATH,
# and each shell block of a recipe is run by bash. Only the scratch directory and the ports
# are changed (the collector's port, and the control port of tobrin-dev-manager and
# TellTobrinManager), so that runs beside other work on the machine do not meet. A recipe
# whose programs are missing is skipped with a message.
#   recipes_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3
doc=$source/docs/scale-out.md

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tobrin-recipes.XXXXXX")
prefix=$tmp/prefix
fail() { echo "FAIL: $*"; exit 1; }

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}
manager_port=$(free_port) collector_port=$(free_port)

# What a failed recipe left running: the manager (which takes the log server and its command
# with it) and the daemons that wrote pid files.
end_recipes() {
  "$prefix/bin/TellTobrinManager" -p "$manager_port" stop >/dev/null 2>&1 || true
  for pid_file in "$tmp"/*/*.pid; do
    [ -e "$pid_file" ] && kill "$(cat "$pid_file")" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap end_recipes EXIT

. "$source/scripts/poll.sh"

# Shell block N (from 1) of the section TITLE of the page.
doc_block() {
  awk -v title="## $1" -v want="$2" '
    /^## / { on = ($0 == title) }
    block && /^```$/ { block = 0; next }
    on && /^```sh$/ { block = (++n == want); next }
    block' "$doc"
}

# Runs block N of section TITLE with the install first in PATH, as pasted into the bash
# that ran the blocks before it: their variables are set first. Its output goes to OUT.
run_block() {
  local title=$1 n=$2 out=$3 text status=0
  text=$(doc_block "$title" "$n")
  [ -n "$text" ] || fail "no shell block $n in \"$title\""
  for ((earlier = 1; earlier < n; earlier++)); do
    text="$(doc_block "$title" "$earlier" | grep -E '^[A-Za-z_]+=[^ ]*$' || true)"$'\n'"$text"
  done
  text=$(sed -e "s|/tmp/tobrin-|$tmp/|g" -e "s/10514/$collector_port/g" \
    -e "s/\btobrin-dev-manager /tobrin-dev-manager --port=$manager_port /" \
    -e "s/\bTellTobrinManager /TellTobrinManager -p $manager_port /" <<<"$text")
  PATH=$prefix/bin:$PATH timeout 120 bash -euo pipefail -c "$text" </dev/null >"$out" 2>&1 ||
    status=$?
  [ "$status" -eq 0 ] || { cat "$out"; fail "\"$title\", block $n, ended with status $status"; }
}

# Waits until the manager of the last recipe has ended.
manager_ended() { ! "$prefix/bin/TellTobrinManager" -p "$manager_port" get all >/dev/null 2>&1; }

# Whether every program named is installed; else says which is missing.
have() {
  for program in "$@"; do
    command -v "$program" >/dev/null || [ -x "/usr/sbin/$program" ] ||
      { echo "SKIP: $program is not installed"; return 1; }
  done
}

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.out" 2>&1 ||
  { cat "$tmp/install.out"; fail "cmake --install failed"; }

if have rsyslogd logger; then
  section="Try it on one machine"
  run_block "$section" 1 "$tmp/route.out"
  lines() { grep -c " tobrin: \(first\|second\) line$" "$tmp/scale-out/central.log"; }
  poll 300 test "$(lines 2>/dev/null)" = 2 ||
    { cat "$tmp/route.out"; fail "the collector did not get both lines in 30 s"; }
  run_block "$section" 2 "$tmp/route-stop.out"
  poll 300 manager_ended || fail "the manager did not stop"
  poll 300 test ! -e "$tmp/scale-out/local.pid" -a ! -e "$tmp/scale-out/central.pid" ||
    fail "the daemons did not stop"
  echo "rsyslog route: $(cat "$tmp/scale-out/central.log" | wc -l) lines at the collector"
fi

section="Timestamps and compressed archives on one machine"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}[_ ][0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]+ +'
# Whether FILE ends with the recipe's two lines, each after a time.
timed_pair() { tail -n 2 "$1" | grep -Ecx "$stamp(first|second) line" | grep -qx 2; }
if have svlogd gzip; then
  run_block "$section" 1 "$tmp/svlogd.out"
  poll 300 timed_pair "$tmp/archive/svlogd/current" ||
    { cat "$tmp/svlogd.out"; fail "svlogd's current file does not end with the two timed lines"; }
  poll 300 compgen -G "$tmp/archive/svlogd/@*.s" >/dev/null || fail "svlogd compressed no file"
  archives=("$tmp"/archive/svlogd/@*.s)
  zcat "${archives[0]}" >"$tmp/archive.txt"
  grep -Eqx "${stamp}a line among many that fill the first file" "$tmp/archive.txt" ||
    fail "svlogd's closed file is not the compressed, timed lines"
  run_block "$section" 2 "$tmp/svlogd-stop.out"
  poll 300 manager_ended || fail "the manager did not stop"
  echo "svlogd: ${#archives[@]} compressed file(s), $(wc -l <"$tmp/archive/svlogd/current") lines"
fi
if have s6-log gzip; then
  run_block "$section" 3 "$tmp/s6.out"
  poll 300 manager_ended || fail "the manager did not stop"
  # s6-log has read to the end once the log server has ended.
  poll 300 timed_pair "$tmp/archive/s6/current" ||
    { cat "$tmp/s6.out"; fail "s6-log's file does not hold the two timed lines"; }
fi
echo "PASS"
