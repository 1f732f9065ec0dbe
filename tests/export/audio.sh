#!/bin/bash
# capture --audio: the WAV's samples go into the AVI as a second stream, each video frame followed
# by the samples of its time span (at 29.97 fps, where spans are not whole numbers of samples), and
# come back out unchanged; a WAV that cannot be interleaved is refused before anything is written.
source "$(dirname "$0")/../avi/lib.sh"
here=$(dirname "$0")
media() { python3 "$here/media.py" "$@"; }
# Each capture is checked before the next one writes over its data file.
cap() { host --chain none --datafile "$win\\kestro" capture --overwrite --size 64x48 --rate 29.97 "$@"; }

media wav "$scratch/stereo.wav" 44100 2 1.2 7
cap --frames 30 --audio "$win\\stereo.wav" -o "$win\\a.avi" -q
media interleave "$scratch/a.avi" 29970 1000 44100 4 52920
ffprobe -v error -show_entries stream=codec_type,sample_rate,channels -of csv=p=0 "$scratch/a.avi" \
  >"$scratch/probe"
grep -qx "video" "$scratch/probe" && grep -qx "audio,44100,2" "$scratch/probe" ||
  fail "ffprobe sees $(tr '\n' ' ' <"$scratch/probe")"
ffmpeg -v error -i "$scratch/a.avi" -map 0:a -c:a pcm_s16le -f s16le - >"$scratch/a.pcm"
media samples "$scratch/stereo.wav" | head -c $((30 * 44100 * 1000 / 29970 * 4)) >"$scratch/ref.pcm"
cmp "$scratch/ref.pcm" "$scratch/a.pcm" || fail "the interleaved samples differ from the WAV"
# The video stream plays as before, with a sound stream beside it.
host play "$win\\a.avi" --as yuy2 -o "$win\\a.yuy2" -q
host pattern --size 64x48 --frames 30 -o "$win\\in.yuy2"
cmp "$scratch/in.yuy2" "$scratch/a.yuy2" || fail "the video of a capture with sound changed"

# An extensible 24-bit mono WAV (fmt chunk of 40 bytes) is stored with its whole format.
media wav "$scratch/ext.wav" 48000 1 0.5 9 tag=65534 bits=24 fmt_bytes=40
cap --frames 10 --audio "$win\\ext.wav" -o "$win\\ext.avi" -q
media interleave "$scratch/ext.avi" 29970 1000 48000 3 24000
ffmpeg -v error -i "$scratch/ext.avi" -map 0:a -c:a pcm_s24le -f s24le - >"$scratch/ext.pcm"
media samples "$scratch/ext.wav" | head -c $((10 * 48000 * 1000 / 29970 * 3)) >"$scratch/ext.ref"
cmp "$scratch/ext.ref" "$scratch/ext.pcm" || fail "24-bit samples differ"

refused() { # what expected-message wav-arguments...
  local what=$1 message=$2
  shift 2
  media wav "$scratch/bad.wav" "$@"
  expect_rc 2 "$what" cap --frames 5 --audio "$win\\bad.wav" -o "$win\\bad.avi"
  expect_err "cannot interleave the audio .*bad.wav: .*$message"
  [ ! -e "$scratch/bad.avi" ] || fail "$what: an AVI was written"
}
refused "truncated WAV" "its data chunk claims [0-9]* bytes but the file ends" 44100 2 0.2 1 truncate=100
refused "compressed WAV" "its samples are compressed (format tag 2)" 44100 2 0.2 1 tag=2
refused "no channels" "none of them may be 0" 44100 0 0.2 1 block=4
refused "inconsistent rate" "are not its rate times its block size" 44100 2 0.2 1 rate_bytes=1000
refused "cut extensible format" "its extensible format is cut short" 44100 2 0.2 1 tag=65534 fmt_bytes=20 cb=22
head -c 4000 /dev/urandom >"$scratch/bad.wav"
expect_rc 2 "random bytes" cap --frames 5 --audio "$win\\bad.wav" -o "$win\\bad.avi"
expect_err "it is not a WAV file"
[ ! -e "$scratch/bad.avi" ] || fail "random bytes: an AVI was written"
expect_rc 2 "missing WAV" cap --frames 5 --audio "$win\\none.wav" -o "$win\\bad.avi"
expect_err "cannot open the audio .*none.wav"
echo "captures interleave sound and refuse what they cannot interleave"
