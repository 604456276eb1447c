#!/bin/sh
# Mounts (or unmounts) the small tmpfs that the Windows tests under wine use, since a
# Windows program cannot mount one itself. Mounting takes root; without it the tests that
# need the disk find no mark in it and skip.
#
#   small_disk.sh mount DIR SIZE | small_disk.sh unmount DIR
set -u
dir=$2
if [ "$1" = unmount ]; then
  mountpoint -q "$dir" && umount -l "$dir"
  exit 0
fi
mkdir -p "$dir"
mountpoint -q "$dir" || mount -t tmpfs -o "size=$3" tmpfs "$dir" 2>/dev/null || {
  echo "no tmpfs at $dir (mounting one takes root): the tests that need it skip"
  exit 0
}
touch "$dir/mounted"
