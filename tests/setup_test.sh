#!/usr/bin/env bash
# scripts/setup.sh's decisions, with a stub apt-get on PATH (no network, nothing installed):
# a mirror in the middle of a sync fails the security suite's i386 index and then the
# install ("held broken packages"); setup must retry, go on, and install through a private
# view that holds every suite but the failed one. A healthy mirror takes the plain install;
# a mirror where nothing works ends in a clear failure.
#   setup_test.sh SETUP_SH
set -euo pipefail
setup=$1

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tobrin-setup.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$tmp/bin" "$tmp/etc/sources.list.d"
cat >"$tmp/etc/sources.list.d/debian.sources" <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
EOF
cat >"$tmp/etc/sources.list" <<'EOF'
deb http://deb.debian.org/debian bookworm main
deb [arch=amd64,i386] http://deb.debian.org/debian-security bookworm-security main
EOF

# Every package is missing, i386 is already there, and root needs no sudo.
printf '#!/bin/sh\nexit 1\n' >"$tmp/bin/dpkg-query"
printf '#!/bin/sh\necho i386\n' >"$tmp/bin/dpkg"
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"
# apt-get as the mirror behaves in $STUB_MIRROR (midsync, ok or broken). In a private view
# it copies the view's sources to $STUB_LOG.view for the checks below.
cat >"$tmp/bin/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$STUB_LOG"
parts="" verb=""
for arg in "$@"; do
  case $arg in
    Dir::Etc::SourceParts=*) parts=${arg#*=} ;;
    update | install) verb=$arg ;;
  esac
done
midsync() {
  echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]" >&2
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
  exit 100
}
if [ -n "$parts" ]; then
  rm -rf "$STUB_LOG.view" && cp -r "$parts" "$STUB_LOG.view"
  if grep -qr bookworm-security "$parts"; then midsync; fi
  [ "$verb" = install ] && [ "$STUB_MIRROR" = broken ] && exit 100
  exit 0
fi
[ "$STUB_MIRROR" = ok ] && exit 0
[ "$verb" = update ] && midsync
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100
EOF
chmod +x "$tmp"/bin/*

run() {  # run MIRROR: runs setup.sh against that mirror; its status is in $status
  export STUB_MIRROR=$1 STUB_LOG=$tmp/$1.log
  : >"$STUB_LOG"
  status=0
  PATH="$tmp/bin:$PATH" TOBRIN_APT_ETC=$tmp/etc TOBRIN_APT_RETRY_PAUSE=0 TOBRIN_ENABLE_I386=true \
    bash "$setup" >"$tmp/$1.out" 2>&1 || status=$?
  echo "--- $1: status $status"
  cat "$tmp/$1.out"
}
expect_output() { grep -qF -- "$2" "$tmp/$1.out" || fail "$1: setup did not say \"$2\""; }
calls() { grep -c -- "$2" "$tmp/$1.log" || true; }

run midsync
[ "$status" -eq 0 ] || fail "midsync: setup failed although a private view could install"
[ "$(calls midsync 'update')" -eq 4 ] || fail "midsync: expected 3 updates and 1 in the view"
expect_output midsync "indexes that failed: bookworm-security"
expect_output midsync "going on with the indexes that downloaded"
expect_output midsync "installing through a private apt view without bookworm-security"
expect_output midsync "installed through the private view"
grep -q 'SourceList=/dev/null .* install -y' "$tmp/midsync.log" ||
  fail "midsync: the install did not go through the private view"
view=$tmp/midsync.log.view
grep -qx 'Suites: bookworm bookworm-updates' "$view/debian.sources" ||
  fail "midsync: the view lost the suites that downloaded"
grep -q '^deb http://deb.debian.org/debian bookworm main' "$view/sources.list.list" ||
  fail "midsync: the view lost the one-line source that downloaded"

run ok
[ "$status" -eq 0 ] || fail "ok: setup failed against a healthy mirror"
[ "$(calls ok 'update')" -eq 1 ] && [ "$(calls ok 'SourceParts')" -eq 0 ] ||
  fail "ok: a healthy mirror needs one update and no private view"
expect_output ok "setup: installed"

run broken
[ "$status" -ne 0 ] || fail "broken: setup reported success though nothing installed"
expect_output broken "cannot install"
expect_output broken "with and without the suites bookworm-security"
echo "PASS"
