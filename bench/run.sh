#!/usr/bin/env bash
# Benchmarks the log server against the floor programs and the peer log writers, side by
# side in one run, and writes a dated report with a chart to bench/results/.
#
#   bench/run.sh [--smoke] [--reps=N] [--no-install] [--no-windows] [--only-windows] [--no-rt]
#
# --smoke      small sizes, one repetition, no installs, report under bench/work/smoke/;
#              finishes in about two minutes and fails only when an output check fails
# --reps=N     repetitions of the full run (default 5); the cases are interleaved
# --no-install do not install the peers and the chart maker from Debian's packages
# --no-windows skip the runs of the Windows build under wine
# --only-windows run only those (no installs, no Linux runs)
# --no-rt      run at normal priority; by default (as root, not in --smoke) each measured
#              run is started under SCHED_FIFO priority 10, so that other work on a shared
#              machine does not decide the figures (every system gets the same treatment)
#
# Exit status: 0 when every run's output check passed, 1 when one failed (a message lost,
# torn or out of order, or a run that could not check its output), 2 on a setup failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

smoke=0 reps=5 install=1 windows=1 linux=1 rt=1
for arg in "$@"; do
  case "$arg" in
    --smoke) smoke=1 reps=1 install=0 rt=0 ;;
    --no-rt) rt=0 ;;
    --reps=*) reps=${arg#--reps=} ;;
    --no-install) install=0 ;;
    --no-windows) windows=0 ;;
    --only-windows) linux=0 install=0 ;;
    *) echo "usage: bench/run.sh [--smoke] [--reps=N] [--no-install] [--no-windows] [--only-windows] [--no-rt]" >&2; exit 2 ;;
  esac
done
[ "$smoke" = 1 ] && windows=0
prio=()
if [ "$rt" = 1 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v chrt >/dev/null; then prio=(chrt -f 10); else rt=0; fi
fi

work=$root/bench/work
if [ "$smoke" = 1 ]; then out=$work/smoke; else out=$work/full; fi
bin=$out/bin
rm -rf "$out" && mkdir -p "$bin" || exit 2
raw=$out/raw.tsv
: >"$raw"
log() { echo "bench: $*" >&2; }

# --- what it compares against, from Debian's packages
peer_packages=(runit daemontools s6 apache2-utils python3-matplotlib)
if [ "$install" = 1 ]; then
  missing=()
  for p in "${peer_packages[@]}" gcc strace; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    log "installing ${missing[*]}"
    # Another apt may hold the lock for a while; it is waited for, boundedly. A mirror in the
    # middle of a sync fails an index, and the update with it; the indexes at hand still serve.
    $sudo apt-get -o DPkg::Lock::Timeout=300 update -qq ||
      log "apt-get update failed; installing from the package indexes at hand"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
      "${missing[@]}" >/dev/null || log "some packages did not install; their runs are skipped"
  fi
fi

# --- builds: the server in Release, the bench programs with gcc -O2
if [ "$linux" = 1 ]; then
  log "building Release"
  { cmake --preset release >/dev/null &&
    cmake --build --preset release -j 2 --target TobrinLogger tobrin_client_static >/dev/null; } ||
    { log "the Release build failed"; exit 2; }
  # A copy, so that a rebuild in the shared tree cannot change the program under measurement.
  cp build/release/TobrinLog/TobrinLogger "$bin/" || exit 2
fi
# The client library is linked in for the sender kinds that go through it (tobrin-lib...).
client_lib=build/release/client/libtobrin-client.a
[ -f "$client_lib" ] || cmake --build --preset release -j 2 --target tobrin_client_static >/dev/null ||
  { log "the client library did not build"; exit 2; }
gcc -O2 -Wall -Wextra -pthread -Iclient/include -o "$bin/tbench" bench/tbench.c "$client_lib" -lstdc++ ||
  exit 2

if [ "$windows" = 1 ]; then
  log "building the Windows server and client"
  # The 32-bit build where the kernel runs 32-bit code, else the 64-bit one under wine64.
  if command -v wine >/dev/null && wine --version >/dev/null 2>&1 &&
    WINEPREFIX=$work/wineprefix WINEDEBUG=-all wine cmd /c exit >/dev/null 2>&1; then
    preset=windows cc=i686-w64-mingw32-gcc
    export TOBRIN_WINE=wine
  else
    preset=windows64 cc=x86_64-w64-mingw32-gcc
    export TOBRIN_WINE=/usr/lib/wine/wine64 WINELOADER=/usr/lib/wine/wine64
  fi
  export WINEPREFIX=$work/wineprefix-$preset WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
  if [ -x "${TOBRIN_WINE%% *}" ] || command -v "$TOBRIN_WINE" >/dev/null; then :; else windows=0; fi
  if [ "$windows" = 1 ] && command -v "$cc" >/dev/null &&
    cmake --preset "$preset" >/dev/null 2>&1 &&
    cmake --build --preset "$preset" -j 2 --target TobrinLogger >/dev/null 2>&1 &&
    cmake --preset "$preset" -B "build/$preset-one-by-one" -DTOBRIN_ONE_BY_ONE=ON \
      -DBUILD_TESTING=OFF >/dev/null 2>&1 &&
    cmake --build "build/$preset-one-by-one" -j 2 --target TobrinLogger >/dev/null 2>&1 &&
    "$cc" -O2 -Wall -o "$bin/win_client.exe" bench/win_client.c; then
    cp "build/$preset/TobrinLog/TobrinLogger.exe" "$bin/"
    # The same server built to read and write every message with calls of its own.
    cp "build/$preset-one-by-one/TobrinLog/TobrinLogger.exe" "$bin/TobrinLogger-one-by-one.exe"
    echo "$preset" >"$out/windows-build.txt"
  else
    log "no Windows build (mingw, wine or the win32 backend missing): Windows runs skipped"
    windows=0
  fi
fi

have() { command -v "$1" >/dev/null; }
peers=() peers_in_blocks=()
for p in svlogd multilog s6-log rotatelogs; do
  if [ "$linux" = 0 ]; then :; elif have "$p"; then peers+=("$p"); peers_in_blocks+=("$p+blocks"); else log "$p is not installed: its runs are skipped"; fi
done
# The asynchronous client's settings, chosen for throughput: a buffer of 256 KiB per client
# (larger ones cost the sending thread more as the eight clients' buffers outgrow the
# caches; a full pipe message's worth goes at once whatever the flush time).
async_buffer=262144 async_flush_ms=100
# A case is a kind, or a peer's name with "+blocks": that peer with its writers writing blocks
# of whole lines (tbench --feed=blocks) instead of one line per write.
kind_args() {
  case $1 in
    *+blocks) echo "--kind=${1%+blocks} --feed=blocks" ;;
    tobrin-async) echo "--kind=$1 --buffer=$async_buffer --flush-ms=$async_flush_ms" ;;
    *) echo "--kind=$1" ;;
  esac
}

# --- sizes
if [ "$smoke" = 1 ]; then
  n1=100000 n2=12500 n3=305 w4c=100 w4r=20 hold=1000 cyc=1000 lat_s=0.5 settle=0
else
  n1=1000000 n2=125000 n3=3052 w4c=1000 w4r=100 hold=10000 cyc=10000 lat_s=3 settle=1
fi
wn1=20000 wn2=2500 wn3=1000

failures=0
# One measured run: workload label, then tbench's arguments. Each run gets a fresh
# directory and, in the full run, starts after the page cache's dirty data is written.
run() {
  local label=$1
  shift
  local dir=$out/run
  rm -rf "$dir"
  if [ "$settle" = 1 ]; then sync; sleep 1; fi
  local line rc
  line=$(timeout 900 "${prio[@]}" "$bin/tbench" "$@" --dir="$dir" 2>"$out/last.err")
  rc=$?
  if [ -n "$line" ]; then
    printf 'workload=%s\trep=%s\tload=%s\t%s\n' "$label" "$rep" \
      "$(cut -d' ' -f1 /proc/loadavg)" "$line" >>"$raw"
  fi
  if [ $rc -ne 0 ]; then
    failures=$((failures + 1))
    log "FAILED ($rc): $label tbench $* :: $(tr '\n' ' ' <"$out/last.err") ${line##*note=}"
  else
    log "$label ${*:1:2} $(echo "$line" | tr '\t' '\n' | grep -E '^(feed|msgs_per_s|cpu_us_per_msg|p99_us|kib_per_idle_client|served_per_s)=' | tr '\n' ' ')"
  fi
  rm -rf "$dir"
}

# Each workload's cases, started in a different order on every repetition.
rotate() {
  local shift_by=$(($1 % $(($# - 1)))) items=("${@:2}")
  echo "${items[@]:$shift_by}" "${items[@]:0:$shift_by}"
}

S=$bin/TobrinLogger
# Single-client workloads run with the server (or floor, or peer) on CPU 1 and the client
# on CPU 0: left to the scheduler, a one-to-one exchange settles run by run into one of two
# placements whose rates differ by a third, for every system alike. W1u shows that.
P=""
[ "$(nproc)" -ge 2 ] && P=--pin=1
started=$(date -u +%Y-%m-%dT%H:%M:%SZ)
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
for rep in $(seq 1 "$reps"); do
  log "repetition $rep of $reps"
  if [ "$windows" = 1 ] && { [ "$rep" -le 3 ] || [ "$linux" = 0 ]; }; then
    # The server as shipped and the one built to take every message on its own, in turn.
    C="--kind=tobrin-wine --client=$bin/win_client.exe"
    for w in W1 W2 W3; do
      case $w in
        W1) a="--clients=1 --count=$wn1 --size=100" ;;
        W2) a="--clients=8 --count=$wn2 --size=100" ;;
        W3) a="--clients=1 --count=$wn3 --size=32768" ;;
      esac
      for v in $(rotate "$rep" batched one-by-one); do
        if [ "$v" = batched ]; then
          run "win-$w" throughput $C --server="$bin/TobrinLogger.exe" $a
        else
          run "win-$w-one-by-one" throughput $C --server="$bin/TobrinLogger-one-by-one.exe" $a
        fi
      done
    done
  fi
  [ "$linux" = 1 ] || continue
  for k in $(rotate "$rep" tobrin tobrin-lib tobrin-lib-many tobrin-async floor-mmsg floor-recv floor-write sink "${peers[@]}" "${peers_in_blocks[@]}"); do
    run W1 throughput $(kind_args "$k") --server="$S" --clients=1 --count=$n1 --size=100 $P
  done
  for k in $(rotate "$rep" tobrin floor-mmsg svlogd); do
    have "$k" || [ "$k" != svlogd ] || continue
    run W1u throughput --kind="$k" --server="$S" --clients=1 --count=$n1 --size=100
  done
  for k in $(rotate "$rep" tobrin tobrin-lib tobrin-lib-many tobrin-async floor-threads-mmsg floor-threads "${peers[@]}" "${peers_in_blocks[@]}"); do
    run W2 throughput $(kind_args "$k") --server="$S" --clients=8 --count=$n2 --size=100
  done
  for k in $(rotate "$rep" tobrin floor-recv floor-mmsg floor-write); do
    run W3 throughput --kind="$k" --server="$S" --clients=1 --count=$n3 --size=32768 $P
  done
  run W4 rounds --server="$S" --clients=$w4c --rounds=$w4r --size=100
  run W4 hold --server="$S" --clients=$hold --size=100
  run W5 cycles --server="$S" --cycles=$cyc --size=100
  for k in $(rotate "$rep" tobrin-cmd cat); do
    run W6 throughput --kind="$k" --server="$S" --clients=1 --count=$n1 --size=100 $P
  done
  if [ "$smoke" = 1 ]; then
    lat_kinds=(tobrin)
  else
    lat_kinds=($(rotate "$rep" tobrin floor-recv floor-mmsg "${peers[@]}"))
  fi
  for k in "${lat_kinds[@]}"; do
    run latency latency --kind="$k" --server="$S" --rate=10000 --seconds=$lat_s --size=100 $P
  done
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the report
{
  echo "started=$started"
  echo "load_start=$load_start"
  echo "load_end=$load_end"
  echo "reps=$reps"
  echo "smoke=$smoke"
  echo "placement=$([ -n "$P" ] && echo "W1, W3, W6 and latency: server, floor or peer on CPU 1, clients on CPU 0 (sched_setaffinity); W1u, W2, W4, W5: left to the scheduler" || echo "left to the scheduler")"
  echo "priority=$([ "$rt" = 1 ] && echo "SCHED_FIFO 10 (chrt -f 10) for every measured run" || echo normal)"
  echo "commit=$(git rev-parse --short HEAD 2>/dev/null)$(git diff --quiet HEAD -- TobrinLog platform client 2>/dev/null || echo '+changes')"
  echo "cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
  echo "cores=$(nproc)"
  echo "memory=$(free -g | awk '/Mem:/{print $2}') GiB"
  echo "kernel=$(uname -r)"
  echo "os=Debian $(cat /etc/debian_version 2>/dev/null)"
  echo "filesystem=$(df -T "$work" | awk 'NR==2{print $2}')"
  echo "gcc=$(gcc -dumpversion)"
  echo "windows_build=$(cat "$out/windows-build.txt" 2>/dev/null || echo none)"
  for p in runit daemontools s6 apache2-utils wine; do
    echo "pkg_$p=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || echo none)"
  done
  echo "sizes=W1 $n1 x 100 B; W2 8 x $n2 x 100 B; W3 $n3 x 32768 B; W4 $w4c clients x $w4r rounds, $hold held; W5 $cyc cycles; W6 $n1 x 100 B; latency 10000/s for $lat_s s"
} >"$out/meta.txt"

py=/usr/bin/python3
[ -x "$py" ] || py=python3
stamp=$(date -u +%Y-%m-%d-%H%M)
if [ "$smoke" = 1 ]; then dest=$out/report; else dest=$root/bench/results/$stamp; fi
mkdir -p "$(dirname "$dest")"
if "$py" bench/report.py "$raw" "$out/meta.txt" "$dest"; then
  log "report: $dest.md"
else
  log "the report could not be made"
fi
cp "$raw" "$dest.tsv" 2>/dev/null
if [ $failures -gt 0 ]; then
  log "$failures run(s) failed their output check"
  exit 1
fi
log "every output check passed"
exit 0
