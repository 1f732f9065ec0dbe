#!/bin/bash
# Paced captures killed with SIGKILL, as a crash or a power cut ends a host: at a few fixed
# moments (the synchronous and the fast writers, split into pieces, with and without sound), or
# with KESTRO_KILLS=N at N random ones (KESTRO_KILLS_SEED=S picks them). After each, recover ends
# with exit 0 or a clear refusal; every recovered frame is the input frame of its index; the
# result plays through the codec, and the native tool exports it to MKV that ffmpeg decodes to the
# same frames. info and play on the killed AVI say what happened.
source "$(dirname "$0")/lib.sh"
kestro=${KESTRO_NATIVE_TOOL:-}
[ -n "$kestro" ] && [ ! -x "$kestro" ] && kestro= # export checked only where the tool is built
prefix="$KESTRO_BUILD/wineprefix"
size=320x240 rate=30 frame=$((320 * 240 * 2))
python3 "$(dirname "$0")/../export/media.py" wav "$scratch/sound.wav" 48000 2 30 7

# name fastwrite divide seconds audio(0/1) [size]
fixed=(
  "sync 0 0 2.5 0"
  "fast 1 0 2.5 1"
  "fast-late 1 0 4.0 0"
  "sync-audio 0 0 1.5 1"
)
# Split into two pieces of the smallest size: 16 MiB frames, 64 (2.1 s) fill piece 0.
split="split 1 1 3.5 1 4096x2048"

runs=()
if [ -n "${KESTRO_KILLS:-}" ]; then
  RANDOM=${KESTRO_KILLS_SEED:-1}
  for ((k = 0; k < KESTRO_KILLS; k++)); do
    ms=$((300 + RANDOM % 4700)) fast=$((RANDOM % 2)) audio=$((RANDOM % 2))
    runs+=("r$k $fast 0 $((ms / 1000)).$(printf %03d $((ms % 1000))) $audio")
  done
else
  runs=("${fixed[@]}" "$split")
fi

recovered_total=0 refused=0 lost_max=0
for run in "${runs[@]}"; do
  read -r name fast divide seconds audio runsize <<<"$run"
  runsize=${runsize:-$size}
  w=${runsize%x*} h=${runsize#*x}
  bytes=$((w * h * 2))
  args=(--datafile "$win\\$name" --ini fastwrite=$fast --ini divide=$divide --ini dividesize=1)
  capture=(capture --pace --size "$runsize" --rate $rate --frames 0 -o "$win\\$name.avi" -q)
  [ "$audio" = 1 ] && capture+=(--audio "$win\\sound.wav")
  host "${args[@]}" "${capture[@]}" 2>"$scratch/$name.capture.err" &
  runner=$!
  # The moment counts from the codec's begin, which creates piece 0: Wine's start takes its time.
  for ((t = 0; t < 600; t++)); do [ -e "$scratch/$name.000" ] && break; sleep 0.1; done
  sleep "$seconds"
  pids=$(pgrep -f -- "$(basename "$scratch").$name\.avi" || true)
  [ -n "$pids" ] || { cat "$scratch/$name.capture.err" >&2; fail "$name: the capture was not running"; }
  for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
  wait $runner 2>/dev/null || true
  # What reached the data file: frames are page-aligned after the one-page header (the last one
  # may end unpadded). The fast writers extend the file ahead of their writes: there the count is
  # only what the file's size leaves room for.
  span=$(((bytes + 4095) / 4096 * 4096))
  stored=0
  for piece in "$scratch/$name".0??; do
    [ -f "$piece" ] || continue
    [ "${piece##*.}" = 000 ] && size0=$(($(stat -c %s "$piece") - 4096)) || size0=$(stat -c %s "$piece")
    stored=$((stored + (size0 + span - 1) / span))
  done

  rc=0
  host recover "$win\\$name.avi" -o "$win\\$name.recovered.avi" >"$scratch/out" 2>"$scratch/err" || rc=$?
  if [ $rc != 0 ]; then
    [ $rc = 1 ] || [ $rc = 2 ] || { cat "$scratch/err" >&2; fail "$name: recover ended with $rc"; }
    grep -q "kestro-host: error: " "$scratch/err" || fail "$name: refused without saying why"
    [ ! -e "$scratch/$name.recovered.avi" ] || fail "$name: a refused recover left its output"
    refused=$((refused + 1))
    echo "$name: killed at $seconds s, $stored frames stored: refused: $(head -1 "$scratch/err")"
    rm -f "$scratch/$name".*
    continue
  fi
  n=$(sed -n 's/^frames: \([0-9]*\) recovered.*/\1/p' "$scratch/out")
  [ -n "$n" ] && [ "$n" -gt 0 ] || { cat "$scratch/out" >&2; fail "$name: no frame count"; }
  [ "$n" -le "$stored" ] || fail "$name: $n frames recovered but only $stored reached the data file"
  lost=$((stored - n))
  [ $lost -gt $lost_max ] && lost_max=$lost
  recovered_total=$((recovered_total + n))
  echo "$name: killed at $seconds s: $stored frames stored, $n recovered"

  # The killed AVI is said to be unclosed, with the count the scan finds; a second recover
  # never writes over the first one's output.
  for command in info verify play; do
    expect_rc 2 "$name: $command on the killed AVI" host $command "$win\\$name.avi"
    expect_err "the AVI was not closed by the program that wrote it; \`kestro-host recover\` rebuilds it from its [0-9]* frame records"
  done
  expect_rc 2 "$name: recover over its output" host recover "$win\\$name.avi" -o "$win\\$name.recovered.avi"
  expect_err "exists already"
  # Every recovered frame is the pattern frame of its index, through the codec.
  host pattern --size "$runsize" --frames "$n" -o - | md5sum >"$scratch/want"
  host play "$win\\$name.recovered.avi" --as yuy2 -o - -q | md5sum >"$scratch/got"
  cmp -s "$scratch/want" "$scratch/got" || fail "$name: the recovered frames are not the input's"
  host verify "$win\\$name.recovered.avi" | has "all $n frames intact" || fail "$name: verify"
  if [ -n "$kestro" ]; then
    "$kestro" export "$scratch/$name.recovered.avi" "$scratch/$name.mkv" -q --wineprefix "$prefix" ||
      fail "$name: the native export failed"
    ffmpeg -v error -i "$scratch/$name.mkv" -map 0:v -f rawvideo -pix_fmt yuyv422 - | md5sum >"$scratch/got"
    cmp -s "$scratch/want" "$scratch/got" || fail "$name: the MKV does not decode to the input's frames"
  fi
  rm -f "$scratch/$name".*
done
echo "recover_kills: ${#runs[@]} kills, $recovered_total frames recovered, $refused refused (killed before a record was written), at most $lost_max frames stored but not recovered"
