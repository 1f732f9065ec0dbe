#!/bin/bash
# A capture split into two pieces of the smallest size (1 GiB) with sound: exported to AVI, MKV and
# NUT, every frame equals the codec's playback; after the pieces are moved and renamed, relinking
# (native and kestro-host) makes it play every frame again. Frames are compared by checksum so
# that no second gigabyte has to be kept.
source "$(dirname "$0")/../avi/lib.sh"
here=$(dirname "$0")
kestro=${KESTRO_NATIVE_TOOL:?}
[ -x "$kestro" ] || fail "the native tool $kestro is not built: scripts/build.sh native"
media() { python3 "$here/media.py" "$@"; }
prefix="$KESTRO_BUILD/wineprefix"
size=4096x2048 frames=66 # 16 MiB frames: 64 fill piece 0 exactly, 2 go to piece 1
raw_md5() { ffmpeg -v error -f rawvideo -pix_fmt yuyv422 -s $size -r 25 -i - -f framemd5 - |
  grep -v '^#' | awk -F', *' '{print $6}'; }
file_md5() { ffmpeg -v error -i "$1" -map 0:v -pix_fmt yuyv422 -f framemd5 - | grep -v '^#' |
  awk -F', *' '{print $6}'; }
played_md5() { host play "$1" --as yuy2 -o - -q | raw_md5; }

media wav "$scratch/sound.wav" 48000 2 3 3
host --chain none --ini divide=1 --ini dividesize=1 --datafile "$win\\split" capture \
  -o "$win\\split.avi" --size $size --rate 25 --frames $frames --audio "$win\\sound.wav" -q
host verify "$win\\split.avi" >"$scratch/verify"
grep -q "all $frames frames intact.* in 2 piece(s)" "$scratch/verify" || fail "not split: $(cat "$scratch/verify")"
host pattern --size $size --frames $frames -o - | raw_md5 >"$scratch/input.md5"
played_md5 "$win\\split.avi" >"$scratch/played.md5"
[ "$(wc -l <"$scratch/played.md5")" = $frames ] || fail "played $(wc -l <"$scratch/played.md5") frames"
diff "$scratch/input.md5" "$scratch/played.md5" >&2 || fail "the split capture does not play its input"

media samples "$scratch/sound.wav" | head -c $((frames * 48000 / 25 * 4)) | md5sum >"$scratch/sound.md5"
for ext in avi mkv nut; do
  "$kestro" export -q --wineprefix "$prefix" "$scratch/split.avi" "$scratch/x.$ext" ||
    fail "export to $ext failed"
  file_md5 "$scratch/x.$ext" >"$scratch/x.md5"
  diff "$scratch/played.md5" "$scratch/x.md5" >&2 || fail "$ext export differs from the codec's playback"
  ffmpeg -v error -i "$scratch/x.$ext" -map 0:a -c:a pcm_s16le -f s16le - | md5sum >"$scratch/x.sound"
  cmp "$scratch/sound.md5" "$scratch/x.sound" || fail "$ext export: the sound differs from the WAV"
  rm -f "$scratch/x.$ext"
  echo "split capture: $frames frames and the sound identical in $ext"
done

# Both pieces move into an archive under new names.
mkdir "$scratch/archive"
mv "$scratch/split.000" "$scratch/archive/take.000"
mv "$scratch/split.001" "$scratch/archive/take.001"
expect_rc 1 "verify after the move" host verify "$win\\split.avi"
cp "$scratch/split.avi" "$scratch/split.orig"
"$kestro" relink "$scratch/split.avi" --data "$scratch/archive" --to "$win\\archive\\take" \
  -o "$scratch/native.avi" >/dev/null || fail "native relink of the split capture"
host verify "$win\\native.avi" | has "all $frames frames intact.* in 2 piece(s)" ||
  fail "the natively relinked capture is broken"
played_md5 "$win\\native.avi" >"$scratch/relinked.md5"
diff "$scratch/played.md5" "$scratch/relinked.md5" >&2 || fail "native relink changed frames"
# Longer names: a new AVI beside the untouched input.
host relink "$win\\split.avi" --data "$win\\archive" --to "$win\\archive\\take" >/dev/null ||
  fail "kestro-host relink of the split capture into a new file"
cmp "$scratch/split.avi" "$scratch/split.orig" || fail "the input of a new-file relink changed"
cmp "$scratch/split.relinked.avi" "$scratch/native.avi" || fail "native and kestro-host relinks differ"
# Shorter names fit: in place, the original kept as .bak.
mkdir "$scratch/a"
mv "$scratch/archive/take.000" "$scratch/a/t.000"
mv "$scratch/archive/take.001" "$scratch/a/t.001"
cp "$scratch/split.relinked.avi" "$scratch/relinked.orig"
host relink "$win\\split.relinked.avi" --data "$win\\a" --to "$win\\a\\t" >"$scratch/out" ||
  fail "kestro-host relink of the split capture in place"
grep -q "in place" "$scratch/out" || fail "not relinked in place: $(cat "$scratch/out")"
cmp "$scratch/split.relinked.avi.bak" "$scratch/relinked.orig" || fail "the .bak is not the original"
host verify "$win\\split.relinked.avi" | has "all $frames frames intact.* in 2 piece(s)" ||
  fail "the capture relinked in place is broken"
played_md5 "$win\\split.relinked.avi" >"$scratch/relinked.md5"
diff "$scratch/played.md5" "$scratch/relinked.md5" >&2 || fail "relinking in place changed frames"
echo "split captures export and relink intact"
