#!/usr/bin/env bash
# The packages as a user gets them, used where no build tree is around: the demo must get
# its replies and find every message in the log.
#   linux:   cmake --install into an empty prefix, whose man pages must render without a
#            warning, and the demo runs the programs in its bin/; the systemd unit's command
#            runs from there as the unit gives it; then cpack makes the .deb and the .tar.gz,
#            which must hold exactly what the install put there, and the .deb is installed
#            into an empty root and purged, its maintainer scripts run by dpkg.
#   windows: cpack makes the zip, it is unpacked into an empty directory, and the demo runs
#            the programs from there under wine (in the WINEPREFIX ctest hands over). Its
#            texts must have CRLF line ends.
#   package_test.sh linux|windows CPACK BUILD_DIR SOURCE_DIR
set -euo pipefail
target=$1 cpack=$2 build=$3 source=$4

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tobrin-package.XXXXXX")
server=
# A server still running when a check fails is ended first: it holds standard output.
trap '[ -z "$server" ] || kill -KILL "$server"; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

make_packages() {
  "$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/cpack" >"$tmp/cpack.out" 2>&1 ||
    { cat "$tmp/cpack.out"; fail "cpack did not make the packages"; }
}

# Runs the demo on the programs in DIR (extra demo options follow); its files go under $tmp,
# and it ends the manager itself on every way out.
run_demo() {
  local dir=$1 status=0
  shift
  (cd "$dir" && TMPDIR=$tmp TOBRIN_DEMO_PORT=0 "$source/scripts/demo.sh" "$@" --programs=.) \
    >"$tmp/demo.out" 2>&1 || status=$?
  cat "$tmp/demo.out"
  [ "$status" -eq 0 ] || fail "the demo ended with status $status"
  grep -q "^logserver.state: running" "$tmp/demo.out" || fail "get all: no running log server"
  grep -q "^loglevel set to TRACE" "$tmp/demo.out" || fail "set loglevel TRACE: no reply"
  grep -q "^stopping the log server" "$tmp/demo.out" || fail "stop: no reply"
  expected=$(for i in $(seq 1 12); do echo "message $i from the demo"; done | sort)
  [ "$(cat "$tmp"/tobrin-demo.*/server*.log | tr -d '\r' | sort)" = "$expected" ] ||
    fail "the log does not hold the 12 messages once each"
}

# Installs the .deb with dpkg and removes it again, in a mount namespace of its own whose
# /usr, /etc and /var are overlays on the machine's, so that the machine's own files never
# change. Debian's python3 must import tobrin from where the package put it, without
# PYTHONPATH, compiled by the postinst; after dpkg -r nothing of it may be left.
check_deb_python() {
  local deb=$1 python=/usr/bin/python3 module=/usr/lib/python3/dist-packages/tobrin.py
  [ -x "$python" ] || { echo "SKIP: the .deb's Python module: no Debian python3"; return; }
  unshare --mount true 2>/dev/null ||
    { echo "SKIP: the .deb's Python module: no private mount namespace (run as root)"; return; }
  local traces="$module ${module%/*}/__pycache__/tobrin.*" before
  before=$(ls -d $traces 2>&1 || true)
  unshare --mount bash -euo pipefail -s "$deb" "$tmp/overlay" "$python" "$module" \
    <<'EOF' >"$tmp/deb-python.out" 2>&1 || { cat "$tmp/deb-python.out"; fail "the .deb's Python module"; }
deb=$1 overlay=$2 python=$3 module=$4
for dir in usr etc var; do
  mkdir -p "$overlay/$dir.upper" "$overlay/$dir.work"
  mount -t overlay overlay \
    -o "lowerdir=/$dir,upperdir=$overlay/$dir.upper,workdir=$overlay/$dir.work" "/$dir"
done
dpkg --no-triggers -i "$deb"
found=$(cd / && env -u PYTHONPATH "$python" -I -c 'import tobrin; print(tobrin.__file__)')
[ "$found" = "$module" ] || { echo "python3 imported tobrin from '$found', not $module"; exit 1; }
ls "${module%/*}"/__pycache__/tobrin.cpython-*.pyc || { echo "the postinst compiled nothing"; exit 1; }
dpkg --no-triggers -r tobrin
left=$(ls -d "$module" "${module%/*}"/__pycache__/tobrin.* 2>/dev/null || true)
[ -z "$left" ] || { echo "dpkg -r left: $left"; exit 1; }
EOF
  [ "$(ls -d $traces 2>&1 || true)" = "$before" ] ||
    fail "installing the .deb in a namespace changed the machine's own files"
  echo "the .deb's tobrin.py: imported by $python, compiled, and removed without a trace"
}

. "$source/scripts/poll.sh"

# The value of KEY in the systemd unit UNIT, continued lines joined.
unit_value() {
  sed -e ':a' -e '/\\$/{N;s/\\\n//;ba' -e '}' "$1" | sed -n "s/^$2=//p" | tr -s ' '
}

# Runs the unit's command from the install as systemd would, with the unit's umask, no
# standard input and its directories below $tmp: the server must serve and log, be the
# process systemd started, and keep the ready byte off standard error; a server that cannot
# start must have its message passed on whole.
check_service_command() {
  local unit=$prefix/lib/systemd/system/tobrin.service
  local run logs umask command line
  # The operator's guide shows the unit's settings as shipped.
  while IFS= read -r line; do
    grep -qxF -- "$line" "$unit" || fail "operations.md shows '$line', which the unit does not hold"
  done < <(awk '/^### The shipped unit/ { on = 1 } on && /^```ini$/ { block = 1; next }
                block && /^```$/ { exit } block' "$source/docs/operations.md")
  run=$(unit_value "$unit" RuntimeDirectory) logs=$(unit_value "$unit" LogsDirectory)
  umask=$(unit_value "$unit" UMask) command=$(unit_value "$unit" ExecStart)
  [[ $command == *--input=/run/$run/* ]] || fail "the unit's socket is not in /run/$run: $command"
  [[ $command == *--output=/var/log/$logs/* ]] || fail "the unit's log is not in /var/log/$logs"
  [[ $umask == ???7 && $(unit_value "$unit" RuntimeDirectoryMode) == 2?[15]0 ]] ||
    fail "the unit gives others rights, or the group cannot enter its set-group-id directory"
  mkdir -p "$tmp/run" "$tmp/logs"
  command=${command//"/run/$run/"/"$tmp/run/"}
  read -ra words <<<"${command//"/var/log/$logs/"/"$tmp/logs/"}"
  # Called in a subshell only: the command takes the subshell's place, as under systemd.
  run_service() {
    umask "$umask" && cd / &&
      exec env RUNTIME_DIRECTORY="$tmp/run" PATH="$prefix/bin:/usr/bin:/bin" "$@"
  }

  # A reader of standard error that notes when every writer has closed it.
  exec 5> >(cat >"$tmp/service.err" && touch "$tmp/service.err.closed")
  run_service "${words[@]}" </dev/null >"$tmp/service.out" 2>&5 &
  server=$!
  exec 5>&-
  poll 100 test -S "$tmp/run/log.sock" || fail "the unit's command made no socket in 10 s"
  [ "$(readlink "/proc/$server/exe")" = "$prefix/bin/TobrinLogger" ] ||
    fail "the server is not the process that was started: $(readlink "/proc/$server/exe")"
  "$prefix/bin/tobrin-pipe-client" --newline "$tmp/run/log.sock" "through the unit"
  poll 100 grep -qx "through the unit" "$tmp/logs/server.log" || fail "the message was not logged"
  kill -TERM "$server"
  local status=0
  wait "$server" || status=$?
  server=
  [ "$status" -eq 143 ] || fail "the server ended with status $status on SIGTERM"
  poll 100 test -e "$tmp/service.err.closed" || fail "standard error stayed open after the server"
  [ ! -s "$tmp/service.err" ] || fail "standard error holds: $(od -c "$tmp/service.err" | head -3)"
  [ -z "$(ls "$tmp/run")" ] || fail "left in the runtime directory: $(ls "$tmp/run")"

  local missing=$tmp/logs/missing/server.log
  words=("${words[@]/#--output=*/--output=$missing}")
  status=0
  err=$(run_service "${words[@]}" </dev/null 2>&1 >/dev/null) || status=$?
  local expected="LogServer: cannot open log file($missing) for write (err=2)"
  [ "$status" -eq 1 ] && [ "$err" = "$expected" ] ||
    fail "a failed start ended with $status and standard error '$err'"
}

# Installs the .deb into an empty root, as dpkg does for another root without a chroot: the
# post-installation script must make the user and group and enable the unit, which
# systemd-analyze must accept there (with the machine's own targets beside it); a purge
# must leave nothing of the package but the user and group.
check_deb_in_root() {
  local deb=$1 root=$tmp/root
  if [ "$(id -u)" -ne 0 ]; then echo "not root: the .deb is not installed into a root"; return; fi
  mkdir -p "$root/etc" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  dpkg_root() {
    dpkg --root="$root" --force-script-chrootless --force-depends "$@" >"$tmp/dpkg.out" 2>&1 ||
      { cat "$tmp/dpkg.out"; fail "dpkg $*"; }
  }
  dpkg_root -i "$deb"
  [ -L "$root/etc/systemd/system/multi-user.target.wants/tobrin.service" ] ||
    fail "the unit is not enabled"
  if command -v systemd-sysusers >/dev/null; then
    grep -q "^tobrin:x:[0-9]*:[0-9]*:Tobrin log server:/:/usr/sbin/nologin$" "$root/etc/passwd" ||
      fail "no user tobrin: $(cat "$root/etc/passwd")"
    grep -q "^tobrin:x:[0-9]*:$" "$root/etc/group" || fail "no group tobrin"
  else
    echo "systemd-sysusers is not installed (Debian package systemd): the user is not checked"
  fi
  if command -v systemd-analyze >/dev/null; then
    cp -n /lib/systemd/system/*.target /lib/systemd/system/*.slice "$root/usr/lib/systemd/system/"
    MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" tobrin.service \
      >"$tmp/verify.out" 2>&1 || { cat "$tmp/verify.out"; fail "systemd-analyze verify"; }
    [ ! -s "$tmp/verify.out" ] || { cat "$tmp/verify.out"; fail "systemd-analyze verify warns"; }
    rm -f "$root"/usr/lib/systemd/system/*.target "$root"/usr/lib/systemd/system/*.slice
  else
    echo "systemd-analyze is not installed (Debian package systemd): the unit is not verified"
  fi
  mkdir -p "$root/var/log/tobrin" && touch "$root/var/log/tobrin/server.log"
  dpkg_root --purge tobrin
  left=$(cd "$root" && find . ! -type d ! -path './var/lib/dpkg/*' ! -path './etc/*shadow' \
    ! -path ./etc/passwd ! -path ./etc/group ! -path ./etc/.pwd.lock | LC_ALL=C sort)
  [ -z "$left" ] || fail "left after a purge: $left"
}

# The files below DIR, one a line, sorted.
files_below() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }

if [ "$target" = linux ]; then
  prefix=$tmp/prefix
  cmake --install "$build" --prefix "$prefix" >"$tmp/install.out" 2>&1 ||
    { cat "$tmp/install.out"; fail "cmake --install failed"; }
  installed=$(files_below "$prefix")
  for f in bin/TobrinLogger bin/TellTobrinManager bin/tobrin-pipe-client bin/tobrin-dev-manager \
    share/doc/tobrin/LICENSE share/doc/tobrin/README.md share/man/man8/TobrinLogger.8 \
    share/man/man1/TellTobrinManager.1 share/man/man1/tobrin-pipe-client.1 share/man/man1/tobrin-dev-manager.1 \
    include/tobrin/client.h lib/pkgconfig/tobrin-client.pc lib/cmake/Tobrin/TobrinConfig.cmake \
    lib/python3/dist-packages/tobrin.py share/doc/tobrin/clients.md bin/tobrin-service \
    share/man/man8/tobrin-service.8 lib/systemd/system/tobrin.service lib/sysusers.d/tobrin.conf; do
    grep -qx "$f" <<<"$installed" || fail "not installed: $f"
  done
  for page in "$prefix"/share/man/man*/*; do
    warnings=$(groff -man -ww -Tutf8 -z "$page" 2>&1) || fail "groff cannot render ${page##*/}"
    [ -z "$warnings" ] || fail "${page##*/} renders with warnings: $warnings"
  done
  for program in "$prefix"/bin/*; do
    ! readelf -d "$program" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qF "$build" ||
      fail "$program looks for libraries in the build tree"
  done
  PATH=$prefix/bin:/usr/bin:/bin run_demo "$prefix/bin"
  check_service_command

  make_packages
  debs=("$tmp"/cpack/tobrin_*.deb) tars=("$tmp"/cpack/Tobrin-*-Linux.tar.gz)
  [ -f "${debs[0]}" ] && [ -f "${tars[0]}" ] || { cat "$tmp/cpack.out"; fail "no .deb or .tar.gz"; }
  echo "packages: ${debs[0]##*/}, ${tars[0]##*/}"
  depends=$(dpkg-deb -f "${debs[0]}" Depends)
  [[ $depends == *libc6* ]] || fail "the .deb names no dependency on libc6: '$depends'"
  mkdir "$tmp/deb" "$tmp/tar"
  dpkg-deb -x "${debs[0]}" "$tmp/deb"
  tar -xzf "${tars[0]}" -C "$tmp/tar"
  [ "$(files_below "$tmp/deb/usr")" = "$installed" ] || fail "the .deb holds other files than the install"
  [ "$(files_below "$tmp/tar/$(basename "${tars[0]}" .tar.gz)")" = "$installed" ] ||
    fail "the .tar.gz holds other files than the install"
  check_deb_python "${debs[0]}"
  check_deb_in_root "${debs[0]}"
else
  make_packages
  archives=("$tmp"/cpack/Tobrin-*-win*.zip)
  [ -f "${archives[0]}" ] || { cat "$tmp/cpack.out"; fail "no Tobrin-<version>-win32.zip"; }
  archive=${archives[0]}
  echo "archive: ${archive##*/}, $(wc -c <"$archive") bytes"
  mkdir "$tmp/unpacked"
  (cd "$tmp/unpacked" && cmake -E tar xf "$archive")
  top=$tmp/unpacked/$(basename "$archive" .zip)
  contents=$(files_below "$top")
  for f in LICENSE.txt README.txt rotation.txt operations.txt clients.txt TellTobrinManager.exe \
    TobrinLogger.exe tobrin-dev-manager.exe tobrin-pipe-client.exe bin/libtobrin-client.dll \
    lib/libtobrin-client.dll.a lib/libtobrin-client.a include/tobrin/client.h \
    lib/cmake/Tobrin/TobrinConfig.cmake lib/pkgconfig/tobrin-client.pc; do
    grep -qx "$f" <<<"$contents" || fail "the archive lacks $f; it holds: $contents"
  done
  ! grep -q copy_stdin <<<"$contents" || fail "the archive holds the tests' copy_stdin"
  # Every line of every text ends in CR LF.
  for text in "$top"/*.txt; do
    lines=$(wc -l <"$text")
    [ "$lines" -gt 0 ] && [ "$(grep -c $'\r$' "$text")" -eq "$lines" ] ||
      fail "${text##*/} has line ends without CR"
  done
  run_demo "$top" --windows
fi
echo "PASS"
