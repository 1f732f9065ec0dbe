#!/bin/bash
# Captures made through the real codec leave Windows: every kind the codec stores (YUY2, UYVY,
# RGB24 bottom-up and top-down) and chained streams (Wine's MRLE on 8-bit input, the test codec
# KTST), with and without sound, exported by the native tool to AVI, MKV and NUT. ffmpeg decodes
# each export; every frame must equal what kestro-host plays through the codec, byte for byte, and
# the sound must be the WAV's samples. Chained streams must carry the chained codec's packets.
source "$(dirname "$0")/../avi/lib.sh"
here=$(dirname "$0")
kestro=${KESTRO_NATIVE_TOOL:?}
[ -x "$kestro" ] || fail "the native tool $kestro is not built: scripts/build.sh native"
command -v ffmpeg >/dev/null || fail "ffmpeg is not installed (scripts/setup.sh installs it)"
media() { python3 "$here/media.py" "$@"; }
prefix="$KESTRO_BUILD/wineprefix"
export_to() { "$kestro" export -q --wineprefix "$prefix" "$@"; }

frames=10
media wav "$scratch/sound.wav" 44100 2 0.3 11 # shorter than the video: the rest has no sound
block=4 wav_frames=13230

# Compares two raw files frame by frame; names the first frame that differs.
same_frames() { # what a b frame_bytes
  local what=$1 a=$2 b=$3 n=$4
  local sa sb
  sa=$(stat -c %s "$a") sb=$(stat -c %s "$b")
  [ "$sa" = "$sb" ] || fail "$what: $((sa / n)) frames (+$((sa % n)) bytes) against $((sb / n))"
  [ "$sa" -gt 0 ] || fail "$what: no frames at all"
  local at
  at=$(cmp "$a" "$b" | sed -n 's/.* byte \([0-9]*\),.*/\1/p' || true)
  [ -z "$at" ] || fail "$what: frame $(((at - 1) / n)) differs (byte $(((at - 1) % n)) of it)"
}

# The sound of an export: all of the WAV that belongs to the captured frames' time, unchanged.
check_sound() { # what file
  local due=$((frames * 44100 / 25))
  [ $due -gt $wav_frames ] && due=$wav_frames
  ffmpeg -v error -i "$2" -map 0:a -c:a pcm_s16le -f s16le - >"$scratch/sound.out" ||
    fail "$1: ffmpeg cannot read the sound"
  media samples "$scratch/sound.wav" | head -c $((due * block)) >"$scratch/sound.ref"
  cmp "$scratch/sound.ref" "$scratch/sound.out" || fail "$1: the sound differs from the WAV"
}

# Runs the two ffmpeg commands that kestro-host info prints, as printed but for Linux paths: the
# archive must give back every frame exactly, the player's file must be H.264 4:2:0 in MP4 with
# every frame at the capture's size (rounded up to even) and, where the capture has sound, AAC.
run_info_commands() { # name WxH pix_fmt frame_bytes has_sound
  local name=$1 size=$2 pixfmt=$3 n=$4 sound=$5 label command expected
  local even_w=$(((${size%x*} + 1) / 2 * 2)) even_h=$(((${size#*x} + 1) / 2 * 2))
  local input="kestro-host export $win\\$name.avi - | ffmpeg -f rawvideo -pix_fmt $pixfmt -s $size -r 25/1 -i - "
  input+="-i $win\\$name.avi -map 0:v -map 1:a? "
  for label in archive player; do
    command=$(host info "$win\\$name.avi" | tr -d '\r' | sed -n "s/^export *$label: //p")
    if [ $label = archive ]; then
      expected="$input-c:v ffv1 -level 3 -c:a copy $win\\$name.mkv"
    else
      expected="$input-vf pad=ceil(iw/2)*2:ceil(ih/2)*2 -c:v libx264 -preset veryfast -crf 18 "
      expected+="-pix_fmt yuv420p -c:a aac -movflags +faststart $win\\$name.mp4"
    fi
    [ "$command" = "$expected" ] || fail "$name: info prints the $label line \"$command\""
    local args=${command#*| ffmpeg }
    args=${args//"$win\\"/"$scratch/"}
    set -f # the printed command's words, "1:a?" and the filter included, as they are
    # shellcheck disable=SC2086
    host export "$win\\$name.avi" - -q | ffmpeg -v error -y $args ||
      fail "$name: info's $label command failed"
    set +f
  done
  ffmpeg -v error -i "$scratch/$name.mkv" -map 0:v -f rawvideo -pix_fmt "$pixfmt" - >"$scratch/$name.archive" ||
    fail "$name: ffmpeg cannot decode the archive"
  same_frames "$name: the archive against kestro-host play" "$scratch/$name.play" "$scratch/$name.archive" "$n"
  [ "$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=codec_name,pix_fmt,width,height,nb_read_frames \
    -of csv=p=0 "$scratch/$name.mp4")" = "h264,$even_w,$even_h,yuv420p,$frames" ] ||
    fail "$name: the player's file is not $frames frames of H.264 4:2:0 at ${even_w}x$even_h"
  [ "$(ffprobe -v error -show_entries stream=codec_name -select_streams a -of csv=p=0 "$scratch/$name.mp4")" = \
    "$([ "$sound" = yes ] && echo aac)" ] || fail "$name: the player's file has the wrong sound"
  rm -f "$scratch/$name.archive" "$scratch/$name.mp4"
}

# One raw capture: kind, size, extra capture options; pixel format of ffmpeg's decoded frames.
raw_case() { # name kind WxH pix_fmt options...
  local name=$1 kind=$2 size=$3 pixfmt=$4
  shift 4
  local w=${size%x*} h=${size#*x} bpp=2
  [ "$kind" = rgb24 ] && bpp=3
  local n=$((w * h * bpp))
  host --chain none --datafile "$win\\$name" capture -o "$win\\$name.avi" --format "$kind" \
    --size "$size" --rate 25 --frames $frames -q "$@"
  host play "$win\\$name.avi" --as "$kind" -o "$win\\$name.play" -q
  # What the codec plays is what went in.
  host pattern --format "$kind" --size "$size" --frames $frames -o "$win\\$name.in"
  same_frames "$name: played against the input" "$scratch/$name.in" "$scratch/$name.play" $n
  # On Windows: kestro-host export through a real pipe gives what the codec plays and what the
  # native tool's pipe gives; info's ffmpeg command takes it, with the capture's own sound.
  host export "$win\\$name.avi" - -q | cat >"$scratch/$name.pipe"
  same_frames "$name: kestro-host export - against play" "$scratch/$name.play" "$scratch/$name.pipe" $n
  export_to "$scratch/$name.avi" - | cat >"$scratch/$name.native-pipe"
  cmp "$scratch/$name.native-pipe" "$scratch/$name.pipe" ||
    fail "$name: kestro-host export - differs from kestro export -"
  local sound=no
  case " $* " in *" --audio "*) sound=yes ;; esac
  run_info_commands "$name" "$size" "$pixfmt" $n $sound
  case " $* " in *" --audio "*) check_sound "$name: info's ffmpeg command" "$scratch/$name.mkv" ;; esac
  for ext in avi mkv nut; do
    export_to "$scratch/$name.avi" "$scratch/$name.x.$ext" || fail "$name: export to $ext failed"
    ffmpeg -v error -i "$scratch/$name.x.$ext" -map 0:v -f rawvideo -pix_fmt "$pixfmt" - \
      >"$scratch/$name.x.$ext.raw" || fail "$name: ffmpeg cannot decode the $ext export"
    same_frames "$name.$ext: ffmpeg against kestro-host play" "$scratch/$name.play" \
      "$scratch/$name.x.$ext.raw" $n
    case " $* " in *" --audio "*) check_sound "$name.$ext" "$scratch/$name.x.$ext" ;; esac
    rm -f "$scratch/$name.x.$ext" "$scratch/$name.x.$ext.raw"
  done
  echo "$name: $frames frames identical in avi, mkv and nut"
}

raw_case yuy2 yuy2 160x120 yuyv422 --audio "$win\\sound.wav"
raw_case uyvy uyvy 160x120 uyvy422
# An odd width: every row of the bitmap carries padding the export must drop.
raw_case rgb24-up rgb24 161x120 bgr24 --audio "$win\\sound.wav"
raw_case rgb24-down rgb24 161x120 bgr24 --top-down

# A reader that stops early: the export ends quietly, exit 4.
set +o pipefail
host export "$win\\yuy2.avi" - 2>"$scratch/closed.err" | head -c 1000 >/dev/null
rc=${PIPESTATUS[0]}
set -o pipefail
[ "$rc" = 4 ] || { cat "$scratch/closed.err" >&2; fail "export into a closed pipe: exit $rc, expected 4"; }
[ ! -s "$scratch/closed.err" ] || { cat "$scratch/closed.err" >&2; fail "export into a closed pipe made noise"; }

# Per-packet sizes and checksums of a stream copy of the video.
packets() { # file
  ffmpeg -v error -i "$1" -map 0:v -c copy -f framemd5 - | grep -v '^#' |
    awk -F', *' '{print $5, $6}'
}
# The packets that the codec stored: the data of every record, read from its piece.
stored_packets() { # avi
  host info "$1" --frames | awk '/^ *[0-9]+ +[0-9]+ +[0-9]+  /{print $2, $3}' | media stored "$2"
}

# Containers that must carry the packets, and those that must refuse them clearly, without
# leaving a file: KTST exists only here, so no container but AVI has an identifier for it; MRLE
# pictures need their bitmap header's bit depth, which NUT does not keep.
chained_case() { # name codec kind WxH "carrying containers" "refusing containers" why options...
  local name=$1 codec=$2 kind=$3 size=$4 carry=$5 refuse=$6 why=$7
  shift 7
  host --chain "$codec" --datafile "$win\\$name" capture -o "$win\\$name.avi" --format "$kind" \
    --size "$size" --rate 25 --frames $frames -q "$@"
  host --chain none info "$win\\$name.avi" | has "biChainHandler *\"$codec\"" ||
    fail "$name: the capture is not chained through $codec"
  stored_packets "$win\\$name.avi" "$scratch/$name.000" >"$scratch/$name.stored"
  [ "$(wc -l <"$scratch/$name.stored")" = $frames ] || fail "$name: not $frames stored packets"
  expect_rc 2 "$name: kestro-host export - of a chained stream" host export "$win\\$name.avi" -
  expect_err "$name.avi: a chained stream holds the chained codec's packets (\"$codec\")"
  [ ! -s "$scratch/out" ] || fail "$name: a refused export wrote frames"
  for ext in $refuse; do
    expect_rc 2 "$name: export of $codec to $ext" export_to "$scratch/$name.avi" "$scratch/$name.x.$ext"
    expect_err "$why"
    [ -z "$(ls "$scratch" | grep -F "$name.x.$ext")" ] || fail "$name: a refused $ext export left a file"
  done
  for ext in $carry; do
    export_to "$scratch/$name.avi" "$scratch/$name.x.$ext" || fail "$name: export to $ext failed"
    packets "$scratch/$name.x.$ext" >"$scratch/$name.$ext.packets"
    diff "$scratch/$name.stored" "$scratch/$name.$ext.packets" >&2 ||
      fail "$name.$ext: the packets differ from what $codec produced"
    case " $* " in *" --audio "*) check_sound "$name.$ext" "$scratch/$name.x.$ext" ;; esac
  done
  echo "$name: $frames $codec packets identical in $carry"
}

# The test codec's packets follow from the input alone: compute them here as well.
chained_case ktst KTST yuy2 160x120 "avi" "mkv nut" "the chained codec 'KTST' is not known to the .* writer" --audio "$win\\sound.wav"
host pattern --format yuy2 --size 160x120 --frames $frames -o "$win\\ktst.in"
media ktst "$scratch/ktst.in" $((160 * 120 * 2)) "$scratch/ktst.hex"
media packets "$scratch/ktst.hex" >"$scratch/ktst.expected"
diff "$scratch/ktst.expected" "$scratch/ktst.stored" >&2 ||
  fail "ktst: the stored packets are not what the test codec makes of the input"

chained_case mrle MRLE pal8 160x120 "avi mkv" "nut" "msrle pictures need the bit depth of their bitmap header, which a nut file does not keep"
# ffmpeg's own MRLE decoder and Wine's, reached through the codec, agree on every picture.
host play "$win\\mrle.avi" --as rgb24 -o "$win\\mrle.play" -q
for ext in avi mkv; do
  ffmpeg -v error -i "$scratch/mrle.x.$ext" -map 0:v -f rawvideo -pix_fmt bgr24 - \
    >"$scratch/mrle.$ext.raw" ||
    fail "mrle: ffmpeg cannot decode the $ext export (an export no player reads must be refused)"
  same_frames "mrle.$ext: ffmpeg against kestro-host play" "$scratch/mrle.play" \
    "$scratch/mrle.$ext.raw" $((160 * 120 * 3))
done
echo "every export matches the codec's playback"
