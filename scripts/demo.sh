#!/usr/bin/env bash
# Builds the programs and runs the whole system on this machine: the development manager
# starts the log server, a pipe client writes messages through it, the control client talks
# to the manager, and the log file and its backups are shown.
#
#   scripts/demo.sh                    the Linux programs
#   scripts/demo.sh --windows          the 32-bit Windows programs, each run under wine in the
#                                      prefix build/windows/wineprefix (or $WINEPREFIX)
#   scripts/demo.sh --programs=DIR     the programs in DIR, e.g. an unpacked release archive
#                                      (with --windows); nothing is built
#
# TOBRIN_DEMO_PORT is the control port (default 4328; 0 takes a free one); TMPDIR is where
# the demo's files go.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

windows=false
programs=
for arg in "$@"; do
  case $arg in
    --windows) windows=true ;;
    --programs=*) programs=${arg#--programs=} ;;
    *) echo "usage: $0 [--windows] [--programs=DIR]" >&2; exit 2 ;;
  esac
done

demo=$(mktemp -d "${TMPDIR:-/tmp}/tobrin-demo.XXXXXX")
port=${TOBRIN_DEMO_PORT:-4328}
if $windows; then
  preset=windows exe=.exe
  export WINEPREFIX=${WINEPREFIX:-$root/build/windows/wineprefix} WINEDEBUG=-all DISPLAY=
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES-mscoree,mshtml=}
  run=("${TOBRIN_WINE:-wine}")
  # Paths the Windows programs hand on (to CreateProcess, to the log server) as Z:\ paths.
  native_path() { printf 'Z:%s' "${1//\//\\}"; }
  pipe="\\\\.\\pipe\\${demo##*/}"
else
  preset=linux exe=
  run=()
  native_path() { printf '%s' "$1"; }
  pipe=$demo/log.pipe
fi

if [ -z "$programs" ]; then
  (cd "$root" && cmake --preset "$preset" >/dev/null &&
    cmake --build --preset "$preset" -j "$(nproc)" >/dev/null)
  B=$root/build/$preset
  dev_manager=$B/tools/tobrin-dev-manager$exe
  pipe_client=$B/tools/tobrin-pipe-client$exe
  logger=$B/TobrinLog/TobrinLogger$exe
  tell=$B/tellManager/TellTobrinManager$exe
else
  programs=$(cd "$programs" && pwd)
  dev_manager=$programs/tobrin-dev-manager$exe
  pipe_client=$programs/tobrin-pipe-client$exe
  logger=$programs/TobrinLogger$exe
  tell=$programs/TellTobrinManager$exe
fi

. "$root/scripts/poll.sh"
manager_up() { grep -q "control port" "$demo/manager.out" 2>/dev/null || ! kill -0 "$manager" 2>/dev/null; }
manager_gone() { ! kill -0 "$manager" 2>/dev/null; }
# A manager that is killed closes the log server's standard input, so the log server ends too.
end_manager() {
  if ! manager_gone; then
    kill "$manager" 2>/dev/null || true
    poll 100 manager_gone || kill -KILL "$manager" 2>/dev/null || true
  fi
}

echo "== tobrin-dev-manager starts TobrinLogger (pipe $pipe, log $demo/server.log, rotated at 200 bytes)"
"${run[@]}" "$dev_manager" --port="$port" -- "$(native_path "$logger")" --input="$pipe" \
  --output="$(native_path "$demo/server.log")" --filesize=200 --numbackups=3 \
  >"$demo/manager.out" 2>&1 &
manager=$!
trap end_manager EXIT
# A first run under wine creates the prefix, which takes a while.
poll 600 manager_up || true
cat "$demo/manager.out"
grep -q "control port" "$demo/manager.out" || { echo "the manager did not come up"; exit 1; }
port=$(sed -n 's/.*control port [0-9.]*:\([0-9]*\).*/\1/p' "$demo/manager.out")

echo "== tobrin-pipe-client writes 12 messages"
messages=()
for i in $(seq 1 12); do messages+=("message $i from the demo"); done
"${run[@]}" "$pipe_client" --newline "$pipe" "${messages[@]}"

echo "== TellTobrinManager -p $port get all"
"${run[@]}" "$tell" -p "$port" get all
echo "== TellTobrinManager -p $port set loglevel TRACE"
"${run[@]}" "$tell" -p "$port" set loglevel TRACE

# The log server writes each message as it reads it; wait until all twelve are on disk
# before the manager stops it.
all_written() { [ "$(cat "$demo"/server*.log 2>/dev/null | wc -l)" -ge 12 ]; }
poll 300 all_written || { echo "the log server did not write all 12 messages in 30 s"; exit 1; }
echo "== TellTobrinManager -p $port stop"
"${run[@]}" "$tell" -p "$port" stop
poll 300 manager_gone || { echo "the manager did not end within 30 s of stop"; exit 1; }
status=0
wait "$manager" || status=$?
[ "$status" -eq 0 ] || { cat "$demo/manager.out"; echo "the manager ended with status $status"; exit 1; }
echo "== the log and its backups"
for f in "$demo"/server*.log; do echo "--- $f"; cat "$f"; done
echo "== (files kept in $demo)"
