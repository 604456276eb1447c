#!/usr/bin/env bash
# Builds the Linux programs and runs the whole system on this machine: the development
# manager starts the log server, a pipe client writes messages through it, the control
# client talks to the manager, and the log file and its backups are shown.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null
B=build/linux
demo=$(mktemp -d /tmp/tobrin-demo.XXXXXX)
pipe=$demo/log.pipe
port=${TOBRIN_DEMO_PORT:-4328}

echo "== dev_manager starts TobrinLogger (pipe $pipe, log $demo/server.log, rotated at 200 bytes)"
$B/tools/dev_manager --port="$port" -- $B/TobrinLog/TobrinLogger --input="$pipe" \
  --output="$demo/server.log" --filesize=200 --numbackups=3 >"$demo/manager.out" 2>&1 &
manager=$!
for _ in $(seq 100); do
  grep -q "control port" "$demo/manager.out" 2>/dev/null && break
  kill -0 $manager 2>/dev/null || break
  sleep 0.1
done
cat "$demo/manager.out"
grep -q "control port" "$demo/manager.out" || { echo "the manager did not come up"; exit 1; }

echo "== pipe_client writes 12 messages"
messages=()
for i in $(seq 1 12); do messages+=("message $i from the demo"); done
$B/tools/pipe_client --newline "$pipe" "${messages[@]}"

echo "== TellTobrinManager -p $port get all"
$B/tellManager/TellTobrinManager -p "$port" get all
echo "== TellTobrinManager -p $port set loglevel TRACE"
$B/tellManager/TellTobrinManager -p "$port" set loglevel TRACE

# The log server writes each message as it reads it; wait until all twelve are on disk
# before the manager stops it.
for _ in $(seq 100); do
  [ "$(cat "$demo"/server*.log 2>/dev/null | wc -l)" -ge 12 ] && break
  sleep 0.1
done
echo "== TellTobrinManager -p $port stop"
$B/tellManager/TellTobrinManager -p "$port" stop
wait $manager || true
echo "== the log and its backups"
for f in "$demo"/server*.log; do echo "--- $f"; cat "$f"; done
echo "== (files kept in $demo)"
