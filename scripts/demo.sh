#!/bin/bash
# The main job, end to end on a fresh Debian machine: install, build, then capture three seconds of
# ffmpeg's testsrc2 (640x480 YUY2, 30 fps) through the Kestro32 codec into an AVI with AVIFile,
# verify every frame reference, play it back through the codec and prove the decoded frames equal
# the input (YUY2) and an independent BT.601 reference conversion (RGB24, RGB32), write a PNG of one
# decoded frame and print the throughput.
#   scripts/demo.sh            (KESTRO_DEMO_ARCH=i686 for the 32-bit codec;
#                               KESTRO_DEMO_BUILD=DIR reuses a finished build and skips set-up)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${KESTRO_DEMO_ARCH:-x86_64}
size=640x480 rate=30 seconds=3 still=45
step() { printf '\n== %s\n' "$*"; }
die() { echo "demo: $*" >&2; exit 1; }

build=${KESTRO_DEMO_BUILD:-$root/build/$arch}
if [ -z "${KESTRO_DEMO_BUILD:-}" ]; then
  step "Packages (scripts/setup.sh)"
  "$root/scripts/setup.sh"
  # Only what the demo runs: the codec, kestro-host and the native tool, not the tests.
  step "Build the codec and kestro-host into build/$arch, the native kestro tool into build/native"
  "$root/scripts/build.sh" "$arch" --target kestro32 kestro-host
  "$root/scripts/build.sh" native --target kestro
fi
host_exe="$build/tools/kestro-host.exe"
[ -f "$host_exe" ] && [ -f "$build/kestro32.dll" ] || die "the build did not produce kestro32.dll and kestro-host.exe"
host() { "$build/wine-run" "$host_exe" "$@"; }

work="$build/demo"
rm -rf "$work"
mkdir -p "$work/data"
# The reference converter runs natively: it shares no code with the codec.
g++ -O2 -std=c++20 -I"$root/tools" -I"$root/src" "$root/tools/refconv.cpp" "$root/tools/kestro-host/RawFrames.cpp" \
  -o "$work/refconv"
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
w=$(winpath "$work")

step "Wine prefix with kestro32.dll registered as vidc.KEST (first run makes it)"
host --help >/dev/null
echo "prefix: $build/wineprefix; codec settings: $build/wineprefix/drive_c/windows/system32/kestdisk.ini"

step "Input: ${seconds}s of testsrc2, $size YUY2 at $rate fps"
ffmpeg -v error -y -f lavfi -i "testsrc2=size=$size:rate=$rate" -t "$seconds" -pix_fmt yuyv422 \
  -f rawvideo "$work/input.yuy2"
frames=$(( $(stat -c %s "$work/input.yuy2") / (640 * 480 * 2) ))
echo "$work/input.yuy2: $frames frames"

step "Capture through the codec (data file $work/data/kestro.000)"
host --datafile "$w\\data\\kestro" capture --input "$w\\input.yuy2" --format yuy2 --size "$size" \
  --rate "$rate" -o "$w\\capture.avi" 2>&1 | tee "$work/capture.log"

step "Verify every frame record"
host verify "$w\\capture.avi"
host info "$w\\capture.avi" | sed -n '1,3p;/biSourceCompression/p'
command -v ffprobe >/dev/null && ffprobe -v error -select_streams v:0 -count_packets -of default=nw=1 \
  -show_entries stream=codec_tag_string,width,height,nb_read_packets,extradata_size \
  "$work/capture.avi" | paste -sd' ' | sed 's/^/ffprobe: /'

step "Play back and compare"
host play "$w\\capture.avi" --as yuy2 -o "$w\\decoded.yuy2" 2>&1 | tee "$work/play.log"
cmp "$work/input.yuy2" "$work/decoded.yuy2" || die "decoded YUY2 differs from the input"
echo "YUY2: all $frames decoded frames equal the input byte for byte"
"$work/refconv" yuy2 rgb24 "$size" <"$work/input.yuy2" >"$work/reference.rgb24"
host play "$w\\capture.avi" --as rgb24 -o "$w\\decoded.rgb24" 2>&1 | tee -a "$work/play.log"
cmp "$work/reference.rgb24" "$work/decoded.rgb24" || die "decoded RGB24 differs from the reference"
echo "RGB24: all $frames frames equal the BT.601 reference conversion of the input"
"$work/refconv" yuy2 rgb32 "$size" <"$work/input.yuy2" >"$work/reference.rgb32"
host play "$w\\capture.avi" --as rgb32 --getframe -o "$w\\decoded.rgb32" 2>&1 | tee -a "$work/play.log"
cmp "$work/reference.rgb32" "$work/decoded.rgb32" || die "RGB32 from AVIStreamGetFrame differs from the reference"
echo "RGB32 through AVIStreamGetFrame: all $frames frames equal the reference"

kestro=$root/build/native/tools/kestro/kestro
if [ -x "$kestro" ]; then
  step "Export without the codec or Windows (native kestro, pieces found through the Wine prefix)"
  "$kestro" info "$work/capture.avi" --wineprefix "$build/wineprefix" | sed -n '1,6p'
  "$kestro" export "$work/capture.avi" "$work/export.mkv" --wineprefix "$build/wineprefix" -q
  ffmpeg -v error -y -i "$work/export.mkv" -f rawvideo -pix_fmt yuyv422 "$work/export.yuy2"
  cmp "$work/input.yuy2" "$work/export.yuy2" || die "the exported Matroska file differs from the input"
  echo "export.mkv: ffmpeg decodes all $frames frames equal to the input byte for byte"
fi

step "PNG of decoded frame $still"
host play "$w\\capture.avi" --as rgb24 --first "$still" --count 1 --ppm "$w\\frame.ppm" -q
convert "$work/frame.ppm" "$work/demo-frame.png"
echo "$work/demo-frame.png"

step "Throughput"
grep -o 'captured .*fps,[^;]*' "$work/capture.log" | sed 's/^/capture: /'
grep -o 'played .*' "$work/play.log" | sed 's/^/playback: /'
echo "(pictures in the data file $work/data/kestro.000, the AVI holds only 30-byte frame records)"
