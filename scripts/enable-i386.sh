#!/bin/sh
# Lets a Debian 12 amd64 machine whose kernel refuses 32-bit x86 programs ("Exec format
# error" for /lib/ld-linux.so.2) run them, and with them 32-bit wine and our PE32 programs:
# qemu-i386 is registered with binfmt_misc for i386 ELF. Where the kernel runs 32-bit code
# itself, nothing is done.
#
#   enable-i386.sh          as root: make 32-bit programs run (idempotent; lost at reboot)
#   enable-i386.sh --check  change nothing; exit 0 when 32-bit programs run, 1 when not
#   enable-i386.sh --qemu   register qemu-i386 even where the kernel runs 32-bit code, to see
#                           what such machines see; echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
#                           undoes it
#
# bookworm's own qemu (7.2) is not enough: 32-bit wine dies under it with "failed to map the
# shared user data". qemu-i386 10.x comes from the qemu-user package of bookworm-backports,
# downloaded with a private apt state, so the machine's apt sources, lists and package
# database stay as they are. QEMU_I386=/path/to/qemu-i386 names another binary.
set -eu

NAME=qemu-i386
PRIVATE=/usr/local/lib/tobrin-i386/qemu-i386
MIN_MAJOR=10
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
MAGIC_HEX=7f454c4601010100000000000000000002000300
BM=/proc/sys/fs/binfmt_misc
LDSO=/lib/ld-linux.so.2

die() { echo "enable-i386: $*" >&2; exit 1; }
say() { echo "enable-i386: $*" >&2; }

qemu_ok() {  # $1: true when it is a qemu-i386 of version MIN_MAJOR or later
  [ -x "$1" ] || return 1
  major=$("$1" --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9][0-9]*\)\..*/\1/p')
  [ -n "$major" ] && [ "$major" -ge "$MIN_MAJOR" ]
}

find_qemu() {  # prints a usable qemu-i386, or nothing
  for q in ${QEMU_I386:-} "$PRIVATE" /usr/bin/qemu-i386 /usr/bin/qemu-i386-static; do
    if qemu_ok "$q"; then echo "$q"; return 0; fi
  done
  [ -z "${QEMU_I386:-}" ] || die "QEMU_I386=$QEMU_I386 is not a qemu-i386 >= $MIN_MAJOR"
}

fetch_qemu() {  # installs qemu-i386 from bookworm-backports' qemu-user at $PRIVATE
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  mkdir -p "$tmp/parts" "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/x"
  : >"$tmp/sources.list"
  # The backports suite lives beside the main suite, on the mirror this machine already uses.
  mirror=${DEBIAN_MIRROR:-$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n1)}
  [ -n "$mirror" ] || mirror=$(awk '$1=="deb" && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
  [ -n "$mirror" ] || die "no Debian mirror in the apt sources; set DEBIAN_MIRROR"
  cat >"$tmp/parts/backports.sources" <<SOURCES
Types: deb
URIs: $mirror
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  set -- -o Dir::Etc::sourcelist="$tmp/sources.list" -o Dir::Etc::sourceparts="$tmp/parts" \
    -o Dir::State::Lists="$tmp/lists" -o Dir::Cache="$tmp/cache" \
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root -q
  say "fetching qemu-user from bookworm-backports"
  apt-get "$@" update >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; die "apt-get update for bookworm-backports failed"; }
  (cd "$tmp" && apt-get "$@" download qemu-user) >>"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; die "cannot download qemu-user"; }
  dpkg-deb --fsys-tarfile "$tmp"/qemu-user_*.deb | tar -xf - -C "$tmp/x" ./usr/bin/qemu-i386 ||
    die "the qemu-user package has no usr/bin/qemu-i386"
  qemu_ok "$tmp/x/usr/bin/qemu-i386" || die "the downloaded qemu-i386 is older than $MIN_MAJOR or does not run"
  install -D -m 0755 "$tmp/x/usr/bin/qemu-i386" "$PRIVATE"
  rm -rf "$tmp"
  trap - EXIT
  say "installed $("$PRIVATE" --version | head -n1) as $PRIVATE"
}

runs32() { "$LDSO" --version >/dev/null 2>&1; }

entries_for_i386() {  # names of the binfmt entries that take i386 ELF
  [ -e "$BM/register" ] || return 0
  for e in "$BM"/*; do
    case ${e##*/} in register | status) continue ;; esac
    grep -qx "magic $MAGIC_HEX" "$e" 2>/dev/null && echo "${e##*/}"
  done
  return 0
}

interpreter_of() { sed -n 's/^interpreter //p' "$BM/$1"; }

check() {
  [ -e "$LDSO" ] || die "$LDSO is missing: install wine32:i386 (scripts/setup.sh does)"
  runs32 || { say "32-bit programs do not run here"; return 1; }
  for n in $(entries_for_i386); do
    grep -qx enabled "$BM/$n" || continue
    i=$(interpreter_of "$n")
    qemu_ok "$i" || { say "binfmt entry '$n' runs 32-bit programs with $i, too old for wine"; return 1; }
    say "32-bit programs run through $i"
    return 0
  done
  say "32-bit programs run natively"
}

force=no
case ${1:-} in
  --check) check; exit ;;
  --qemu) force=yes ;;
  "") ;;
  *) die "unknown argument '$1' (--check, --qemu or nothing)" ;;
esac

[ -e "$LDSO" ] || die "$LDSO is missing: install wine32:i386 (scripts/setup.sh does)"
if [ $force = no ] && runs32 && [ -z "$(entries_for_i386)" ]; then
  say "32-bit programs run natively; nothing to do"
  exit 0
fi
[ "$(id -u)" = 0 ] || die "must run as root to register qemu-i386 with binfmt_misc"
q=$(find_qemu)
[ -n "$q" ] || { fetch_qemu; q=$PRIVATE; }
if [ ! -e "$BM/register" ]; then
  grep -qw binfmt_misc /proc/filesystems 2>/dev/null || die "the kernel has no binfmt_misc"
  mount -t binfmt_misc binfmt_misc "$BM" || die "cannot mount binfmt_misc on $BM"
fi
[ "$(cat "$BM/status")" = enabled ] || echo 1 >"$BM/status"
for n in $(entries_for_i386); do
  i=$(interpreter_of "$n")
  if [ "$n" = "$NAME" ] && [ "$i" = "$q" ] && grep -qx enabled "$BM/$n" && grep -q '^flags:.*F' "$BM/$n"; then
    continue
  fi
  if [ "$n" = "$NAME" ]; then
    say "replacing binfmt entry '$n' (was $i)"
    echo -1 >"$BM/$n"
  elif grep -qx enabled "$BM/$n"; then
    die "binfmt entry '$n' already runs i386 ELF with $i; remove it first: echo -1 > $BM/$n"
  fi
done
if [ ! -e "$BM/$NAME" ]; then
  printf '%s' ":$NAME:M::$MAGIC:$MASK:$q:F" >"$BM/register" || die "binfmt registration failed"
  say "registered $q for i386 ELF"
fi
runs32 || die "$LDSO still does not run after registering $q"
say "ok: 32-bit programs run through $q"
