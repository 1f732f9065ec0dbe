#!/bin/bash
# docs/report-shot.png: the report page of a capture made under Wine by a build's kestro-host onto
# plain tmpfs, as a headless Chromium draws it. Not part of the tests: run it when the page
# changes.
#
#   scripts/report-shot.sh [BUILD]     (BUILD: a Windows build folder, default build/x86_64)
#
# A codec that writes no frame journal yet leaves none beside the capture: the script then writes
# one for the take's frames with the timing of a modelled disk whose write cache runs out after
# 5 s (200 MB/s, then 20 MB/s against the 28 MB/s the stream needs) and that pauses 150 ms at
# 3 s, and says so.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/x86_64}" && pwd)
command -v chromium >/dev/null || { echo "report-shot: chromium is not installed" >&2; exit 1; }
scratch=$(mktemp -d /dev/shm/kestro-shot.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
win=$(printf 'Z:%s' "$scratch" | tr / '\\')
host() { "$build/wine-run" "$build/tools/kestro-host.exe" "$@"; }

host --datafile "$win\\kestro" capture -o "$win\\take.avi" --format yuy2 --size 640x360 \
  --rate 60 --frames 1200 --overwrite -q
if [ ! -e "$scratch/kestro.journal" ]; then
  echo "report-shot: the codec left no journal: writing a modelled one for the take" >&2
  python3 - "$scratch/kestro.take" "$scratch/kestro.journal" <<'EOF'
import re, struct, sys
take = int(re.search(r"^id=([0-9a-f]{8})", open(sys.argv[1]).read(), re.M).group(1), 16)
ticks, rate, frame_bytes, requests = 10_000_000, 60, 640 * 360 * 2, 3
out = bytearray(b"KJRN" + struct.pack("<IIIQIIIIIIIIQ", 1, 64, 32, ticks, take, requests, 640,
                                      360, 0x32595559, frame_bytes, rate, 1, 0))
busy, disk_free, host_free, written, stalled = [0.0] * requests, 0.0, 0.0, 0, False
frame = 0
while frame < 1200:
    arrive = max(frame / rate, host_free)
    if host_free > (frame + 1) / rate:
        frame = int(arrive * rate)
    slot = min(range(requests), key=lambda i: busy[i])
    waited = max(0.0, busy[slot] - arrive)
    issue = arrive + waited + 0.00005
    in_flight = sum(1 for t in busy if t > issue)
    start = max(issue, disk_free)
    if start >= 3 and not stalled:
        start, stalled = start + 0.150, True
    done = start + frame_bytes / (200e6 if written < 5 * rate * frame_bytes else 20e6)
    disk_free = busy[slot] = done
    written += frame_bytes
    host_free = issue + 0.00015
    t = lambda s: min(int(round(s * ticks)), 0xFFFFFFFE)
    arrived = int(round(arrive * ticks))
    out += struct.pack("<II", frame, frame_bytes) + arrived.to_bytes(6, "little")
    out += struct.pack("<BBIIII", 1, in_flight, t(host_free - arrive), t(waited),
                       t(issue - arrive), t(done - issue))
    frame += 1
open(sys.argv[2], "wb").write(out)
EOF
fi
host report "$win\\take.avi" --html "$win\\report.html"
chromium --headless --disable-gpu --no-sandbox --hide-scrollbars --window-size=900,1400 \
  --screenshot="$scratch/shot.png" "file://$scratch/report.html" 2>/dev/null
cp "$scratch/shot.png" "$root/docs/report-shot.png"
echo "report-shot: $root/docs/report-shot.png"
