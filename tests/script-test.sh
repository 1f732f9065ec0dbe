#!/bin/bash
# script-test.sh [--after DIR]... SCRIPT [ARG...]: runs a shell-level test where 32-bit programs
# start (scripts/i386.sh), once each build folder DIR it needs is built: scripts/test.sh holds
# DIR.lock while DIR builds (a folder without one is not being built by it).
while [ "${1:-}" = --after ]; do
  dir=${2%/}
  shift 2
  [ -e "$dir.lock" ] || continue
  flock -s -w 3600 "$dir.lock" true || { echo "script-test: $dir was not built within an hour" >&2; exit 1; }
done
exec "$(dirname "$0")/../scripts/i386.sh" run bash "$@"
