#!/bin/sh
# Gives a build's Wine prefix two extra drives for capture tests: S: a 4 MiB tmpfs that fills up,
# R: a read-only tmpfs. Needs root for mount; without it the tests that use them skip.
# Usage: drives.sh <build dir> setup|cleanup
build=$1
tag=$(printf %s "$build" | md5sum | cut -c1-12)
small=/dev/shm/kestro-small-$tag
ro=/dev/shm/kestro-ro-$tag
dos=$build/wineprefix/dosdevices
case $2 in
setup)
  "$build/wine-run" cmd /c exit >/dev/null 2>&1 # makes the prefix if it is new
  for d in "$small" "$ro"; do mountpoint -q "$d" && umount "$d"; mkdir -p "$d"; done
  mount -t tmpfs -o size=4m tmpfs "$small" 2>/dev/null && ln -sfn "$small" "$dos/s:"
  mount -t tmpfs -o ro,size=1m tmpfs "$ro" 2>/dev/null && ln -sfn "$ro" "$dos/r:"
  ;;
cleanup)
  rm -f "$dos/s:" "$dos/r:"
  for d in "$small" "$ro"; do mountpoint -q "$d" && umount "$d"; rmdir "$d" 2>/dev/null; done
  ;;
esac
exit 0
