#!/bin/bash
# ffprobe, which knows nothing of the codec, sees the AVI that avifil32 wrote: a "KEST" stream with
# every frame and the 52-byte stream format (40-byte bitmap header + 12 bytes it calls extradata).
source "$(dirname "$0")/lib.sh"
command -v ffprobe >/dev/null || { echo "SKIP: ffprobe is not installed"; exit 77; }

host --datafile "$win\\kestro" capture -o "$win\\cap.avi" --size 320x240 --rate 25 --frames 17 -q
ffprobe -v error -select_streams v:0 -count_packets -of default=nw=1 \
  -show_entries stream=codec_tag_string,width,height,nb_frames,nb_read_packets,extradata_size,r_frame_rate \
  "$scratch/cap.avi" >"$scratch/probe"
cat "$scratch/probe"
for want in codec_tag_string=KEST width=320 height=240 nb_frames=17 nb_read_packets=17 \
  extradata_size=12 r_frame_rate=25/1; do
  grep -qx "$want" "$scratch/probe" || fail "ffprobe does not report $want"
done
# The strf chunk holds the stream format byte for byte: biSize 52, "KEST", source "YUY2".
python3 - "$scratch/cap.avi" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(b'strf')
size, = struct.unpack_from('<I', data, at + 4)
fmt = data[at + 8: at + 8 + size]
assert size == 52, size
assert struct.unpack_from('<I', fmt, 0)[0] == 52
assert fmt[16:20] == b'KEST' and fmt[40:44] == b'YUY2', fmt
assert struct.unpack_from('<II', fmt, 44) == (0, 0)
PY
# avifil32 reads it back, through the codec, to the same pictures.
host play "$win\\cap.avi" --as yuy2 -o "$win\\back.yuy2" -q
host pattern --size 320x240 --frames 17 -o "$win\\pattern.yuy2"
cmp "$scratch/back.yuy2" "$scratch/pattern.yuy2" || fail "decoded frames differ from the input"
echo "ffprobe and avifil32 read the capture"
