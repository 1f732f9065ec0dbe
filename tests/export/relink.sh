#!/bin/bash
# Moved and renamed pieces: kestro-host relink (and the native tool's) makes the records name them
# again, in place when the new names fit and into a new AVI when they do not; the original survives
# byte for byte, and the relinked capture plays every frame and its sound unchanged. Refusals change
# nothing.
source "$(dirname "$0")/../avi/lib.sh"
here=$(dirname "$0")
kestro=${KESTRO_NATIVE_TOOL:?}
[ -x "$kestro" ] || fail "the native tool $kestro is not built: scripts/build.sh native"
media() { python3 "$here/media.py" "$@"; }
sound() { ffmpeg -v error -i "$1" -map 0:a -c copy -f s16le - | md5sum; }
unchanged() { # what: the capture and its backup state are as before the refused relink
  cmp "$scratch/take.avi" "$scratch/take.orig" || fail "$1 changed take.avi"
  [ ! -e "$scratch/take.avi.bak" ] && [ ! -e "$scratch/take.relinked.avi" ] ||
    fail "$1 left a file behind"
}

mkdir -p "$scratch/data" "$scratch/archive" "$scratch/empty" "$scratch/short"
media wav "$scratch/sound.wav" 32000 1 0.5 5
host --chain none --datafile "$win\\data\\kestro" capture -o "$win\\take.avi" --format uyvy \
  --size 128x96 --rate 25 --frames 12 --audio "$win\\sound.wav" -q
host play "$win\\take.avi" --as uyvy -o "$win\\before.uyvy" -q
cp "$scratch/take.avi" "$scratch/take.orig"
sound_before=$(sound "$scratch/take.avi")

mv "$scratch/data/kestro.000" "$scratch/archive/take1.000"
mv "$scratch/data/kestro.take" "$scratch/archive/kestro.take" # the take file, not renamed
expect_rc 1 "verify after the move" host verify "$win\\take.avi"

# Refusals: a piece that is nowhere, one cut short, a cut AVI, bad arguments.
expect_rc 1 "piece missing" host relink "$win\\take.avi" --data "$win\\empty" --to "$win\\archive\\take1"
expect_err "frame 0 (record at byte [0-9]* of .*take.avi, piece .*kestro.000): the piece is in .*empty neither as take1.000 nor as kestro.000"
unchanged "a relink without its piece"
head -c 200000 "$scratch/archive/take1.000" >"$scratch/short/take1.000"
expect_rc 1 "piece cut short" host relink "$win\\take.avi" --data "$win\\short" --to "$win\\archive\\take1"
expect_err "frame [0-9]* (record at byte .*: its bytes [0-9]* to [0-9]* lie beyond the end of .*short.take1.000 (200000 bytes)"
unchanged "a relink with a short piece"
head -c 3000 "$scratch/take.avi" >"$scratch/cut.avi"
expect_rc 2 "cut AVI" host relink "$win\\cut.avi" --data "$win\\archive" --to "$win\\archive\\take1"
expect_err "cut.avi: "
[ ! -e "$scratch/cut.avi.bak" ] && [ ! -e "$scratch/cut.relinked.avi" ] || fail "the cut AVI got company"
expect_rc 2 "no --to" host relink "$win\\take.avi" --data "$win\\archive"
expect_rc 2 "-o is the input" host relink "$win\\take.avi" --data "$win\\archive" --to "$win\\x" -o "$win\\take.avi"
# Records that name a relative path would be refused by the codec at every frame.
expect_rc 2 "a relative --to" host relink "$win\\take.avi" --data "$win\\archive" --to 'archive\take1'
expect_err "--to archive.take1: a relative name, which the codec does not open"
unchanged "bad arguments"

# Longer names do not fit the 49-byte-style chunks: a new AVI, the input untouched.
host relink "$win\\take.avi" --data "$win\\archive" --to "$win\\archive\\take1" >"$scratch/out" 2>"$scratch/err" ||
  { cat "$scratch/err" >&2; fail "relink into a new file"; }
grep -q "relinked 12 records into .*take.relinked.avi" "$scratch/out" || fail "no summary: $(cat "$scratch/out")"
# The take file goes with the renamed pieces, under their new name; the old one stays.
grep -q "the take file .*kestro.take is carried along as .*take1.take" "$scratch/err" ||
  { cat "$scratch/err" >&2; fail "the take file was not carried along"; }
cmp "$scratch/archive/kestro.take" "$scratch/archive/take1.take" || fail "the carried take file differs"
cmp "$scratch/take.avi" "$scratch/take.orig" || fail "the input of a new-file relink changed"
host verify "$win\\take.relinked.avi" | has "all 12 frames intact" || fail "relinked AVI broken"
host play "$win\\take.relinked.avi" --as uyvy -o "$win\\after.uyvy" -q
cmp "$scratch/before.uyvy" "$scratch/after.uyvy" || fail "frames changed by a new-file relink"
[ "$(sound "$scratch/take.relinked.avi")" = "$sound_before" ] || fail "sound changed by relink"
# The native tool, given the same job, writes the same bytes.
"$kestro" relink "$scratch/take.avi" --data "$scratch/archive" --to "$win\\archive\\take1" \
  -o "$scratch/native.avi" >/dev/null || fail "native relink into a new file"
cmp "$scratch/native.avi" "$scratch/take.relinked.avi" || fail "native and kestro-host relinks differ"

# Shorter names fit: rewritten in place, the original kept as .bak byte for byte.
mv "$scratch/archive/take1.000" "$scratch/archive/t2.000"
cp "$scratch/take.relinked.avi" "$scratch/relinked.orig"
cp "$scratch/take.relinked.avi" "$scratch/native-inplace.avi"
host relink "$win\\take.relinked.avi" --data "$win\\archive" --to "$win\\archive\\t2" >"$scratch/out" ||
  fail "relink in place"
grep -q "relinked 12 records in place" "$scratch/out" || fail "not in place: $(cat "$scratch/out")"
cmp "$scratch/take.relinked.avi.bak" "$scratch/relinked.orig" || fail "the .bak is not the original"
[ "$(stat -c %s "$scratch/take.relinked.avi")" = "$(stat -c %s "$scratch/relinked.orig")" ] ||
  fail "an in-place relink changed the file's size"
host verify "$win\\take.relinked.avi" | has "all 12 frames intact.*t2.000" || fail "in-place relink broken"
cmp "$scratch/archive/take1.take" "$scratch/archive/t2.take" || fail "the take file did not follow to t2"
host play "$win\\take.relinked.avi" --as uyvy -o "$win\\after2.uyvy" -q
cmp "$scratch/before.uyvy" "$scratch/after2.uyvy" || fail "frames changed by an in-place relink"
[ "$(sound "$scratch/take.relinked.avi")" = "$sound_before" ] || fail "sound changed by in-place relink"
"$kestro" relink "$scratch/native-inplace.avi" --data "$scratch/archive" --to "$win\\archive\\t2" \
  >/dev/null || fail "native relink in place"
cmp "$scratch/native-inplace.avi" "$scratch/take.relinked.avi" || fail "native and kestro-host in-place relinks differ"

# A second in-place relink would overwrite the backup: refused.
cp "$scratch/take.relinked.avi" "$scratch/relinked2.orig"
expect_rc 2 ".bak exists" host relink "$win\\take.relinked.avi" --data "$win\\archive" --to "$win\\archive\\t2"
expect_err "take.relinked.avi.bak exists already"
cmp "$scratch/take.relinked.avi" "$scratch/relinked2.orig" || fail "a refused relink changed the file"
cmp "$scratch/take.relinked.avi.bak" "$scratch/relinked.orig" || fail "a refused relink changed the .bak"
# A temporary backup that a killed relink left is removed and said so; the next backup is whole.
mv "$scratch/take.relinked.avi.bak" "$scratch/bak.keep"
cp "$scratch/relinked.orig" "$scratch/take.relinked.avi"
head -c 1000 "$scratch/relinked.orig" >"$scratch/.take.relinked.avi.bak.kestro-AbC123"
host relink "$win\\take.relinked.avi" --data "$win\\archive" --to "$win\\archive\\t2" >"$scratch/out" 2>"$scratch/err" ||
  { cat "$scratch/err" >&2; fail "relink beside a leftover"; }
grep -q "removed .*\.take\.relinked\.avi\.bak\.kestro-AbC123, left by a relink that was killed" "$scratch/err" ||
  fail "the leftover was not named: $(cat "$scratch/err")"
[ ! -e "$scratch/.take.relinked.avi.bak.kestro-AbC123" ] || fail "the leftover is still there"
cmp "$scratch/take.relinked.avi.bak" "$scratch/relinked.orig" || fail "the backup beside a leftover is not the original"

# Two relinks of one AVI at once: one wins, the other is refused (the AVI is locked, or its backup
# exists) or comes after and finds the records renamed; the backup is always the original.
busy=0
for pair in 1 2 3 4; do
  cp "$scratch/relinked.orig" "$scratch/take.relinked.avi"
  rm -f "$scratch/take.relinked.avi.bak"
  rc1=0 rc2=0
  host relink "$win\\take.relinked.avi" --data "$win\\archive" --to "$win\\archive\\t2" >/dev/null 2>"$scratch/err1" & p1=$!
  host relink "$win\\take.relinked.avi" --data "$win\\archive" --to "$win\\archive\\t2" >/dev/null 2>"$scratch/err2" & p2=$!
  wait $p1 || rc1=$?
  wait $p2 || rc2=$?
  case "$rc1$rc2" in 01|02|10|20) ;; *) cat "$scratch/err1" "$scratch/err2" >&2; fail "pair $pair: exits $rc1 and $rc2" ;; esac
  cmp "$scratch/take.relinked.avi.bak" "$scratch/relinked.orig" || fail "pair $pair: the backup is not the original"
  ls -A "$scratch" | grep -q 'kestro-' && fail "pair $pair: a temporary file is left"
  grep -q "is under way" "$scratch/err1" "$scratch/err2" && busy=$((busy + 1))
done
echo "4 concurrent pairs: the loser found the AVI locked $busy times"

# The two tools see each other's relink: Wine keeps kestro-host's LockFileEx of the lock byte as a
# POSIX read lock of it (the AVI is opened for reading), which no flock meets; the native tool
# takes an open-file-description write lock of the same byte besides its flock. Each lock is held
# here as the other tool holds it, while the tool relinks.
hold() { # kind file: holds the lock until standard input closes
  python3 -c '
import fcntl, os, struct, sys
kind, path = sys.argv[1], sys.argv[2]
fd = os.open(path, os.O_RDONLY if kind == "wine" else os.O_RDWR)
at = 0x7fffffff00000000
command = fcntl.F_SETLK if kind == "wine" else fcntl.F_OFD_SETLK
kind_ = fcntl.F_RDLCK if kind == "wine" else fcntl.F_WRLCK
fcntl.fcntl(fd, command, struct.pack("hhqqi4x", kind_, os.SEEK_SET, at, 1, 0))
print("held", flush=True)
sys.stdin.read()' "$@"
}
cp "$scratch/relinked.orig" "$scratch/locked.avi"
for holder in wine native; do
  rm -f "$scratch/hold.in" && mkfifo "$scratch/hold.in"
  hold "$holder" "$scratch/locked.avi" <"$scratch/hold.in" >"$scratch/held" &
  holder_pid=$!
  exec 8>"$scratch/hold.in"
  for _ in $(seq 50); do [ -s "$scratch/held" ] && break; sleep 0.1; done
  [ -s "$scratch/held" ] || fail "the $holder lock could not be held"
  if [ "$holder" = wine ]; then
    expect_rc 2 "native relink while kestro-host holds the lock" \
      "$kestro" relink "$scratch/locked.avi" --data "$scratch/archive" --to "$win\\archive\\t2"
  else
    expect_rc 2 "kestro-host relink while the native tool holds the lock" \
      host relink "$win\\locked.avi" --data "$win\\archive" --to "$win\\archive\\t2"
  fi
  expect_err "is under way"
  exec 8>&-
  wait $holder_pid
  rm -f "$scratch/held"
  cmp "$scratch/locked.avi" "$scratch/relinked.orig" || fail "a relink refused for the $holder lock changed the AVI"
  [ ! -e "$scratch/locked.avi.bak" ] || fail "a relink refused for the $holder lock made a backup"
done
echo "each tool refuses to relink while the other's lock is held"
# A take striped over two folders, frame k in folder k % 2: each tool reads it whole, and a relink
# takes a folder and a new base for each data file, in turn order; too few change nothing.
mkdir -p "$scratch/sa" "$scratch/sb" "$scratch/na" "$scratch/nb"
host --chain none --datafile "$win\\sa\\kestro" capture -o "$win\\striped.avi" --format uyvy \
  --size 128x96 --rate 25 --frames 6 -q
host play "$win\\striped.avi" --as uyvy -o "$win\\striped-before.uyvy" -q
media stripe "$scratch/striped.avi" "$scratch/sa" "$scratch/sb" "$win\\sa\\kestro" "$win\\sb\\kestro"
[ "$(stat -c %s "$scratch/sb/kestro.000")" -gt 0 ] || fail "nothing was striped"
expect_rc 0 "verify, striped" host verify "$win\\striped.avi"
host play "$win\\striped.avi" --as uyvy -o - -q | cmp - "$scratch/striped-before.uyvy" ||
  fail "the striped take does not play its frames in turn"
WINEPREFIX="$KESTRO_BUILD/wineprefix" "$kestro" verify "$scratch/striped.avi" >/dev/null ||
  fail "kestro verify refuses the striped take"
cp "$scratch/striped.avi" "$scratch/striped.orig"
for s in a b; do # pieces renamed, the take files moved along under their old names
  mv "$scratch/s$s/kestro.000" "$scratch/n$s/k.000"
  mv "$scratch/s$s/kestro.take" "$scratch/n$s/kestro.take"
done
expect_rc 2 "relink of a striped take, one --to" \
  host relink "$win\\striped.avi" --data "$win\\na" --to "$win\\na\\k"
expect_err "the records name 2 data file(s) (.*sa.kestro, .*sb.kestro) and 1 --to were given"
expect_rc 2 "relink of a striped take, a --data short" \
  host relink "$win\\striped.avi" --data "$win\\na" --to "$win\\na\\k" --to "$win\\nb\\k"
expect_err "a --data for each --to"
cmp "$scratch/striped.avi" "$scratch/striped.orig" || fail "a refused relink changed the striped AVI"
expect_rc 0 "relink of a striped take" host relink "$win\\striped.avi" --data "$win\\na" \
  --to "$win\\na\\k" --data "$win\\nb" --to "$win\\nb\\k" -o "$win\\striped-relinked.avi"
host play "$win\\striped-relinked.avi" --as uyvy -o - -q | cmp - "$scratch/striped-before.uyvy" ||
  fail "the relinked striped take does not play its frames in turn"
[ -f "$scratch/na/k.take" ] && grep -q '^stripe=1' "$scratch/nb/k.take" ||
  fail "the stripes' take files were not carried along"
WINEPREFIX="$KESTRO_BUILD/wineprefix" "$kestro" relink "$scratch/striped.avi" --to "$win\\na\\k" \
  --to "$win\\nb\\k" -o "$scratch/striped-native.avi" >/dev/null
cmp "$scratch/striped-native.avi" "$scratch/striped-relinked.avi" ||
  fail "native and kestro-host relinks of the striped take differ"
echo "a striped take is relinked a folder for each data file"
echo "relink keeps every frame, the sound and the original"
