#!/bin/bash
# docs/report-shot.png: the report page of a capture made under Wine by a build's kestro-host onto
# plain tmpfs, as a headless Chromium draws it. Not part of the tests: run it when the page
# changes.
#
#   scripts/report-shot.sh [BUILD]     (BUILD: a Windows build folder, default build/x86_64)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/x86_64}" && pwd)
command -v chromium >/dev/null || { echo "report-shot: chromium is not installed" >&2; exit 1; }
scratch=$(mktemp -d /dev/shm/kestro-shot.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
win=$(printf 'Z:%s' "$scratch" | tr / '\\')
host() { "$build/wine-run" "$build/tools/kestro-host.exe" "$@"; }

host --datafile "$win\\kestro" capture -o "$win\\take.avi" --format yuy2 --size 640x360 \
  --rate 60 --frames 1200 --pace --overwrite -q
[ -e "$scratch/kestro.journal" ] || { echo "report-shot: the codec left no journal" >&2; exit 1; }
host report "$win\\take.avi" --html "$win\\report.html"
chromium --headless --disable-gpu --no-sandbox --hide-scrollbars --window-size=900,1400 \
  --screenshot="$scratch/shot.png" "file://$scratch/report.html" 2>/dev/null
cp "$scratch/shot.png" "$root/docs/report-shot.png"
echo "report-shot: $root/docs/report-shot.png"
