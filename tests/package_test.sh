#!/usr/bin/env bash
# The packages as a user gets them, used where no build tree is around: the demo must get
# its replies and find every message in the log.
#   linux:   cmake --install into an empty prefix, whose man pages must render without a
#            warning, and the demo runs the programs in its bin/; then cpack makes the .deb
#            and the .tar.gz, which must hold exactly what the install put there.
#   windows: cpack makes the zip, it is unpacked into an empty directory, and the demo runs
#            the programs from there under wine (in the WINEPREFIX ctest hands over). Its
#            texts must have CRLF line ends.
#   package_test.sh linux|windows CPACK BUILD_DIR SOURCE_DIR
set -euo pipefail
target=$1 cpack=$2 build=$3 source=$4

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tobrin-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
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

# The files below DIR, one a line, sorted.
files_below() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }

if [ "$target" = linux ]; then
  prefix=$tmp/prefix
  cmake --install "$build" --prefix "$prefix" >"$tmp/install.out" 2>&1 ||
    { cat "$tmp/install.out"; fail "cmake --install failed"; }
  installed=$(files_below "$prefix")
  for f in bin/TobrinLogger bin/TellTobrinManager bin/pipe_client bin/dev_manager \
    share/doc/tobrin/LICENSE share/doc/tobrin/README.md share/man/man8/TobrinLogger.8 \
    share/man/man1/TellTobrinManager.1 share/man/man1/pipe_client.1 share/man/man1/dev_manager.1 \
    include/tobrin/client.h lib/pkgconfig/tobrin-client.pc lib/cmake/Tobrin/TobrinConfig.cmake \
    lib/python3/dist-packages/tobrin.py share/doc/tobrin/clients.md; do
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
    TobrinLogger.exe dev_manager.exe pipe_client.exe bin/libtobrin-client.dll \
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
