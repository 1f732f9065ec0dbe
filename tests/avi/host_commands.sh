#!/bin/bash
# The host program's command line as users meet it: pipes, wrong sizes, Ctrl-C, broken references
# and a codec that is not registered.
source "$(dirname "$0")/lib.sh"
data="$win\\kestro"

# Frames through pipes both ways.
host pattern --frames 6 -o - >"$scratch/six.yuy2"
host --datafile "$data" --ini overwrite=0 capture --input - -o "$win\\pipe.avi" -q <"$scratch/six.yuy2"
host play "$win\\pipe.avi" --as yuy2 -o - -q >"$scratch/pipe.yuy2"
cmp "$scratch/six.yuy2" "$scratch/pipe.yuy2" || fail "frames piped through the codec changed"

# A second take into the same data file goes beside it (kestro-2, then kestro-3 by the old option's
# name) and says where; the first is kept byte for byte. --overwrite captures over a take for that
# run only.
frame=$((640 * 480 * 2))
host pattern --frames 12 -o - | tail -c +$((6 * frame + 1)) >"$scratch/later.yuy2" # other pictures
cp "$scratch/kestro.000" "$scratch/first.000"
first_kept() {
  cmp "$scratch/kestro.000" "$scratch/first.000" || fail "$1 changed the first take's piece"
  host verify "$win\\pipe.avi" | has "all 6 frames intact" || fail "$1: the first take is broken"
  host play "$win\\pipe.avi" --as yuy2 -o - -q | cmp - "$scratch/six.yuy2" ||
    fail "$1: the first take plays other pictures"
}
for n in 2 3; do
  opt=(); [ $n = 3 ] && opt=(--next-datafile)
  expect_rc 0 "take $n" host capture "${opt[@]}" --input "$win\\later.yuy2" -o "$win\\next$n.avi"
  expect_err "the take went to .*kestro-$n.000, beside .*kestro.000, whose take keeps its place"
  host verify "$win\\next$n.avi" | has "all 6 frames intact.*kestro-$n.000" || fail "next$n.avi is not in kestro-$n"
  host play "$win\\next$n.avi" --as yuy2 -o - -q | cmp - "$scratch/later.yuy2" || fail "next$n.avi plays other pictures"
  first_kept "take $n"
done
host --datafile "$win\\over" capture --frames 2 -o "$win\\over1.avi" -q
expect_rc 0 "--overwrite" host capture --overwrite --frames 2 -o "$win\\over2.avi"
[ ! -e "$scratch/over-2.000" ] || fail "--overwrite went beside the earlier take"
! tr -d '\r' <"$ini" | grep -qx 'overwrite=1' || fail "--overwrite stayed in the settings"
# A split capture writes later pieces as well: a piece left from an earlier split take counts.
head -c 300000 /dev/urandom >"$scratch/left.001"
cp "$scratch/left.001" "$scratch/left.kept"
expect_rc 0 "leftover piece, split" host --datafile "$win\\left" --ini divide=1 capture --frames 2 -o "$win\\left.avi"
expect_err 'the take went to .*left-2.000, beside .*left.000'
host --ini divide=0 capture --frames 2 -o "$win\\left.avi" -q
cmp "$scratch/left.001" "$scratch/left.kept" || fail "the leftover piece changed"

# Why a capture cannot start, said by check and by the refused capture: a folder that does not
# exist; a read-only piece (Windows opens it for no writer; Wine, run by root, would, so the
# attribute is what is checked); the settings file read-only (the sheet's changes would be lost).
expect_rc 3 "check, no folder" host --datafile "$win\\nowhere\\take" check
grep -q 'check: a capture cannot start: the folder .*nowhere.* does not exist' "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "check does not name the missing folder"; }
expect_rc 3 "capture, no folder" host capture --frames 2 -o "$win\\nowhere.avi"
expect_err 'cannot start the capture (ICERR_BADFORMAT): the folder .*nowhere.* does not exist'
expect_err 'values: filename=.*nowhere.take'
# (overwrite=1: a take of frames would otherwise keep its place and the next go beside it)
host --datafile "$win\\ro" --ini overwrite=1 capture --frames 2 -o "$win\\ro.avi" -q
chmod a-w "$scratch/ro.000" "$ini"
expect_rc 3 "check, read-only piece" host check
chmod u+w "$scratch/ro.000" "$ini"
grep -q 'ro.000 is read-only' "$scratch/out" || { cat "$scratch/out" >&2; fail "check does not see the read-only piece"; }
grep -q 'kestdisk.ini: read-only' "$scratch/out" || { cat "$scratch/out" >&2; fail "check does not see the read-only settings"; }
expect_rc 0 "check, an earlier take" host --ini overwrite=0 check
grep -q 'the next take goes to .*ro-2.000 (.*ro.000 holds an earlier take, which keeps its place)' "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "check does not say where the next take goes"; }
# The settings options pass the checks of their keys, all of them before anything is written: a
# value outside what the sheet offers, a key the settings do not have, a flag that is neither 0 nor 1.
cp "$ini" "$scratch/ini.before"
expect_rc 2 "--ini out of range" host --datafile "$win\\fresh" --ini request=25 check
expect_err 'request=25 is refused: request takes a whole number from 1 to 20'
expect_rc 2 "--ini, no such key" host --ini requests=3 check
expect_err 'the settings have no key "requests"; the keys are filename, fastwrite, divide'
expect_rc 2 "--ini, a flag of 2" host --ini fastwrite=2 check
expect_err 'fastwrite takes 0 or 1'
cmp "$ini" "$scratch/ini.before" || fail "a refused setting changed the settings file"
# A file may hold what the command line refuses: the codec keeps it, and check says so.
sed -i '/^request=/d; s/^\[general\].*/[general]\r\nrequest=25\r/' "$ini"
expect_rc 0 "check" host --datafile "$win\\fresh" check
grep -q 'check: a capture can start' "$scratch/out" || { cat "$scratch/out" >&2; fail "check does not say the capture can start"; }
# Every key as the codec read it; a request count beyond what the sheet offers is kept, and said.
grep -q 'values .*divide=0 dividesize=[0-9]* buffer=[01] request=25 (the sheet offers 1 to 20) fourcc=' "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "check does not show the settings as the codec read them"; }
[ ! -e "$scratch/fresh.000" ] || fail "check left the piece it opened"
# A striped take: check says where each data file's part of the next take goes and the free space
# on each, and refuses a stripe as the codec would: a folder that is not there, a relative name,
# the data file twice.
mkdir -p "$scratch/second"
expect_rc 0 "check, striped" host --datafile "$win\\fresh" --ini "stripe2=$win\\second\\fresh" check
grep -q 'stripe 1  frames 2 of every 2 go to .*second.fresh.000' "$scratch/out" &&
  grep -q 'a capture can start; the next take goes to .*fresh.000, then .*second.fresh.000' "$scratch/out" &&
  [ "$(grep -c '^free ' "$scratch/out")" = 2 ] || { cat "$scratch/out" >&2; fail "check does not say where a stripe's frames go"; }
for row in "nowhere|$win\\nowhere\\fresh|the folder .*nowhere.* of the stripe data file" \
           "relative|fresh|the stripe data file fresh (stripe2) is refused" \
           "twice|$win\\fresh|stripe2 names .*fresh, which the take already writes"; do
  IFS='|' read -r name stripe why <<<"$row"
  expect_rc 3 "check, stripe $name" host --ini "stripe2=$stripe" check
  grep -q "check: a capture cannot start: $why" "$scratch/out" || { cat "$scratch/out" >&2; fail "check does not refuse the stripe ($name)"; }
done
host --ini stripe2= check >/dev/null
! tr -d '\r' <"$ini" | grep -q '^stripe[123]=.' || fail "a stripe stayed in the settings"
# A count of writes in flight no system can give a program: check and the refused capture name it
# (the codec reads 99999999999999999999 as the largest number it holds), not "a capture can start".
# Only a file can hold it: the command line refuses it as out of range.
sed -i 's/^request=.*/request=99999999999999999999\r/' "$ini"
expect_rc 3 "check, request beyond any memory" host --ini fastwrite=1 check
grep -q 'check: a capture cannot start: request=2147483647 asks the codec for as many writes in flight' "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "check does not see the request count"; }
expect_rc 3 "capture, request beyond any memory" host capture --frames 2 -o "$win\\huge.avi"
expect_err 'cannot start the capture (ICERR_BADFORMAT): request=2147483647 asks the codec'
# Frames smaller than the record that stands for each (2x2 YUY2, 4x4 grey: 8 and 16 bytes).
for size in 'yuy2 2x2' 'y800 4x4'; do
  read -r kind dims <<<"$size"
  expect_rc 3 "capture, $kind $dims" host --ini request=3 capture --format "$kind" --size "$dims" --frames 2 -o "$win\\tiny.avi"
  expect_err 'cannot start the capture (ICERR_BADFORMAT): a frame record of [0-9]* bytes (16 and the name .*fresh.000) does not fit the [0-9]* bytes a host keeps'
done
# A piece 0 that is a FIFO is there and is no file: check says so, and opens nothing.
mkfifo "$scratch/fifo.000"
expect_rc 3 "check, piece 0 a FIFO" host --datafile "$win\\fifo" --ini request=3 check
grep -q 'check: a capture cannot start: .*fifo.000 is no regular file' "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "check does not see that piece 0 is a FIFO"; }

# A size that does not divide the input: whole frames are kept, the rest is reported.
expect_rc 4 "wrong --size" host --datafile "$win\\wrong" capture --input "$win\\six.yuy2" --size 640x400 -o "$win\\wrong.avi"
expect_err "--size or --format is wrong"
expect_err "partial frame was not captured"
host verify "$win\\wrong.avi" | has "all 7 frames intact" || fail "the whole frames were not kept"
expect_rc 2 "odd width" host capture --size 641x480 -o "$win\\odd.avi"
expect_err "even width"
expect_rc 2 "bad size" host capture --size 640 -o "$win\\bad.avi"
expect_err 'bad --size "640"'

# Ctrl-C in a live capture: the AVI is closed with every frame captured so far.
host --datafile "$win\\ctrlc" capture --frames 0 --pace -o "$win\\ctrlc.avi" 2>"$scratch/ctrlc.err" &
runner=$!
stop_runner() { # Ctrl-C for the running capture, wherever this script ends: again and again, as
  # an impatient user presses it, so that one comes while it closes its files; no more once it says
  # they are closed. (A SIGINT makes Wine start a thread for the console handler; one that came
  # while Wine's 32-bit loader tore the ended process down crashed it there, after the last line.)
  local pids
  for _ in $(seq 200); do
    grep -q "stopped by Ctrl-C" "$scratch/ctrlc.err" 2>/dev/null && break
    pids=$(pgrep -f -- "$(basename "$scratch").ctrlc\.avi") || break
    for pid in $pids; do kill -INT "$pid" 2>/dev/null || true; done
    sleep 0.02
  done
}
trap 'stop_runner; cleanup' EXIT
for _ in $(seq 100); do
  grep -q "frames [1-9]" "$scratch/ctrlc.err" 2>/dev/null && break
  sleep 0.2
done
# Meanwhile its data file is held: check and a second capture into it say so.
expect_rc 0 "check while a capture runs" host check
grep -q 'the next take goes to .*ctrlc-2.000 (.*ctrlc.000 holds an earlier take' "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "check does not see the running capture"; }
expect_rc 0 "a second capture beside a running one" host capture --frames 2 -o "$win\\second-run.avi"
expect_err 'the take went to .*ctrlc-2.000, beside .*ctrlc.000'
expect_rc 3 "a second capture into a running one, --overwrite" host capture --overwrite --frames 2 -o "$win\\second-run.avi"
expect_err 'cannot start the capture (ICERR_BADFORMAT): .*ctrlc.000 is held open for writing'
# Ctrl-C in a console reaches every process of the foreground group; here: the ones this run
# started, found by its own scratch folder (the other build's run may be capturing at the same time).
stop_runner
rc=0; wait $runner || rc=$?
trap cleanup EXIT
[ $rc = 130 ] || { cat "$scratch/ctrlc.err" >&2; fail "Ctrl-C capture exit $rc, expected 130"; }
grep -q "stopped by Ctrl-C" "$scratch/ctrlc.err" || fail "no Ctrl-C summary"
host verify "$win\\ctrlc.avi" >"$scratch/ctrlc.verify" || fail "the interrupted AVI is broken"
grep -q "all [1-9][0-9]* frames intact" "$scratch/ctrlc.verify" || fail "no frames after Ctrl-C"

# A reference to a missing piece: verify and play say which frame and which file.
mv "$scratch/kestro.000" "$scratch/kestro.moved"
expect_rc 1 "verify, piece missing" host verify "$win\\pipe.avi"
expect_err "frame 0: its piece .*kestro.000 does not exist"
expect_rc 1 "play, piece missing" host play "$win\\pipe.avi" --as rgb24 -o "$win\\none.rgb"
expect_err "frame 0 cannot be played"
mv "$scratch/kestro.moved" "$scratch/kestro.000"
host verify "$win\\pipe.avi" >/dev/null

# An AVI copied from another machine whose data file of the same name holds its own take: every
# frame is refused, naming both takes; info names the take the data file holds.
take="$scratch/kestro.take"
cp "$take" "$scratch/kestro.take.ours"
grep -q '^id=' "$take" || fail "the capture wrote no take file"
sed -i 's/^id=.*/id=0badcafe/; s/^started=.*/started=2026-01-02T03:04:05Z/' "$take"
expect_rc 1 "verify, another machine's take" host verify "$win\\pipe.avi"
expect_err "frame 0: the record names .*kestro.000 at 0 (614400 bytes), but the AVI's take [0-9a-f]\\{8\\} (not known to this take file) is no longer in the data file: .*kestro.take names take 0badcafe (started 2026-01-02T03:04:05Z) now"
expect_rc 1 "play, another machine's take" host play "$win\\pipe.avi" --as yuy2 -o "$win\\other.yuy2"
expect_err "frame 0 cannot be played: .*is no longer in the data file"
expect_rc 1 "play --getframe, another machine's take" host play "$win\\pipe.avi" --getframe --as rgb24 -o "$win\\other.rgb"
expect_err "frame 0 cannot be played: .*is no longer in the data file"
[ ! -s "$scratch/other.yuy2" ] && [ ! -s "$scratch/other.rgb" ] || fail "frames of another take were shown"
expect_rc 1 "export, another machine's take" host export "$win\\pipe.avi" - -q
expect_err "frame 0, record 0 (.*kestro.000 at 0, 614400 bytes): the AVI's take"
expect_rc 1 "info, another machine's take" host info "$win\\pipe.avi"
grep -q "^take     0badcafe, started 2026-01-02T03:04:05Z, 6 frames" "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "info does not name the take the data file holds"; }
cp "$scratch/kestro.take.ours" "$take"
host info "$win\\pipe.avi" | has "^take     [0-9a-f]\\{8\\}, started .*, 6 frames" || fail "info does not name the take"
host verify "$win\\pipe.avi" >/dev/null || fail "the capture's own take file refuses it"

# A data file whose records playback would never open: refused at the begin, saying why.
expect_rc 3 "relative data file" host --datafile kestro-relative capture --frames 2 -o "$win\\rel.avi"
expect_err "a relative name: playback opens only pieces named by an absolute path"
host --datafile "$data" --help >/dev/null

# Grey frames: the pattern's luma, one byte a pixel in unpadded rows, stored and played as itself.
host pattern --format y800 --size 66x48 --frames 3 -o - >"$scratch/grey.y800"
[ "$(stat -c %s "$scratch/grey.y800")" = $((66 * 48 * 3)) ] || fail "a y800 pattern is not a byte a pixel"
host --datafile "$win\\grey" capture --format y800 --size 66x48 --input - -o "$win\\grey.avi" -q \
  <"$scratch/grey.y800"
host play "$win\\grey.avi" --as y800 -o - -q | cmp - "$scratch/grey.y800" || fail "y800 frames changed"

# The 4:2:0 kinds: the pattern's planes (3/2 bytes a pixel), stored and played as themselves, and
# as YUY2 with each chroma row for both of its luma rows; an odd height is refused.
for k in nv12 i420 yv12; do
  host pattern --format $k --size 66x48 --frames 3 -o - >"$scratch/planes.$k"
  [ "$(stat -c %s "$scratch/planes.$k")" = $((66 * 48 * 3 / 2 * 3)) ] || fail "a $k pattern is not 3/2 bytes a pixel"
  host --datafile "$win\\planes-$k" capture --format $k --size 66x48 --input - -o "$win\\planes-$k.avi" -q \
    <"$scratch/planes.$k"
  host play "$win\\planes-$k.avi" --as $k -o - -q | cmp - "$scratch/planes.$k" || fail "$k frames changed"
  host play "$win\\planes-$k.avi" --as yuy2 -o - -q >"$scratch/planes-$k.yuy2"
done
cmp "$scratch/planes-nv12.yuy2" "$scratch/planes-i420.yuy2" || fail "nv12 and i420 of one pattern differ as yuy2"
cmp "$scratch/planes-yv12.yuy2" "$scratch/planes-i420.yuy2" || fail "yv12 and i420 of one pattern differ as yuy2"
expect_rc 2 "odd 4:2:0 height" host --datafile "$win\\odd" capture --format nv12 --size 66x47 -o "$win\\odd.avi"
expect_err "nv12 pictures need an even height"
# RGB32 as it came, bottom row first, fourth byte and all.
host pattern --format rgb32 --size 66x48 --frames 2 -o - >"$scratch/four.rgb32"
host --datafile "$win\\four" capture --format rgb32 --size 66x48 --input - -o "$win\\four.avi" -q \
  <"$scratch/four.rgb32"
host play "$win\\four.avi" --as rgb32 -o - -q | cmp - "$scratch/four.rgb32" || fail "rgb32 frames changed"
# The kinds of another byte order, matrix or sample size: from a file and from the built-in
# pattern, played as themselves byte for byte, and named in the help.
# The help names the kinds of the codec's table, and every kind it names is one capture takes.
kinds=$(host --help | sed -n '/kind the codec stores/{n;p}' | tr -d ' \r' | tr , ' ')
for k in yuy2 uyvy yvyu hdyc y800 v210 nv12 i420 yv12 p010 rgb24 rgb32; do
  [[ " $kinds " == *" $k "* ]] || fail "--help does not name the kind $k: $kinds"
done
for k in $kinds; do
  host pattern --format $k --size 64x48 --frames 1 -o - >/dev/null || fail "--help names $k, which pattern refuses"
done
host --help | has 'play IN.avi \[--as K\]' || fail "--help does not name the outputs"
for k in yvyu hdyc v210; do
  host pattern --format $k --size 66x48 --frames 3 -o - >"$scratch/pat.$k"
  host --datafile "$win\\f$k" capture --format $k --size 66x48 --input - -o "$win\\f$k.avi" -q <"$scratch/pat.$k"
  host play "$win\\f$k.avi" --as $k -o - -q | cmp - "$scratch/pat.$k" || fail "$k frames changed"
  host --datafile "$win\\p$k" capture --format $k --size 66x48 --frames 3 -o "$win\\p$k.avi" -q
  host play "$win\\p$k.avi" --as $k -o - -q | cmp - "$scratch/pat.$k" || fail "$k pattern frames changed"
  host export "$win\\p$k.avi" - -q | cmp - "$scratch/pat.$k" || fail "$k export changed the frames"
done
[ "$(stat -c %s "$scratch/pat.v210")" = $((256 * 48 * 3)) ] || fail "v210 rows are not whole blocks of 128 bytes"
host info "$win\\fv210.avi" | has -- '| ffmpeg -f v210 -s 66x48 ' || fail "info gives no v210 pipe line"
# The 10-bit pattern is the 8-bit one times four: as YUY2 and as RGB it is the YUY2 pattern's.
host pattern --format yuy2 --size 66x48 --frames 3 -o - >"$scratch/pat.yuy2"
host play "$win\\fv210.avi" --as yuy2 -o - -q | cmp - "$scratch/pat.yuy2" || fail "v210 as yuy2 is not the pattern"
host --datafile "$win\\fyuy2" capture --size 66x48 --input - -o "$win\\fyuy2.avi" -q <"$scratch/pat.yuy2"
for as in rgb24 rgb32; do
  host play "$win\\fyuy2.avi" --as $as -o - -q >"$scratch/yuy2.$as"
  host play "$win\\fv210.avi" --as $as -o - -q | cmp - "$scratch/yuy2.$as" || fail "v210 as $as is not the pattern's"
  host play "$win\\fv210.avi" --getframe --as $as -o - -q | cmp - "$scratch/yuy2.$as" || fail "v210 as $as through avifil32"
done
# P010: the NV12 pattern's values in the high byte of 16-bit samples (3 bytes a pixel), stored
# and played as itself byte for byte, from a file and from the pattern; as YUY2 and RGB it is the
# NV12 pattern's, and the host's reference stills (from the rule) are the codec's RGB ones.
host pattern --format p010 --size 66x48 --frames 3 -o - >"$scratch/pat.p010"
[ "$(stat -c %s "$scratch/pat.p010")" = $((66 * 48 * 3 * 3)) ] || fail "a p010 pattern is not 3 bytes a pixel"
host --datafile "$win\\fp010" capture --format p010 --size 66x48 --input - -o "$win\\fp010.avi" -q <"$scratch/pat.p010"
host play "$win\\fp010.avi" --as p010 -o - -q | cmp - "$scratch/pat.p010" || fail "p010 frames changed"
host --datafile "$win\\pp010" capture --format p010 --size 66x48 --frames 3 -o "$win\\pp010.avi" -q
host play "$win\\pp010.avi" --as p010 -o - -q | cmp - "$scratch/pat.p010" || fail "p010 pattern frames changed"
host export "$win\\pp010.avi" - -q | cmp - "$scratch/pat.p010" || fail "p010 export changed the frames"
host info "$win\\fp010.avi" | has -- '| ffmpeg -f rawvideo -pix_fmt p010le -s 66x48 ' || fail "info gives no p010 pipe line"
host play "$win\\fp010.avi" --as yuy2 -o - -q | cmp - "$scratch/planes-nv12.yuy2" || fail "p010 as yuy2 is not nv12's"
for as in rgb24 rgb32; do
  host play "$win\\planes-nv12.avi" --as $as -o - -q >"$scratch/nv12.$as"
  host play "$win\\fp010.avi" --as $as -o - -q | cmp - "$scratch/nv12.$as" || fail "p010 as $as is not nv12's"
  host play "$win\\fp010.avi" --getframe --as $as -o - -q | cmp - "$scratch/nv12.$as" || fail "p010 as $as through avifil32"
done
host play "$win\\fp010.avi" --as p010 --first 1 --count 1 --ppm "$win\\ref.ppm" -q
host play "$win\\fp010.avi" --as rgb24 --first 1 --count 1 --ppm "$win\\codec.ppm" -q
cmp "$scratch/ref.ppm" "$scratch/codec.ppm" || fail "p010's reference still is not the codec's"
expect_rc 2 "odd p010 height" host --datafile "$win\\odd" capture --format p010 --size 66x47 -o "$win\\odd.avi"
expect_err "p010 pictures need an even height"

# No registration: a throw-away prefix sharing this build's files but not the Drivers32 value.
prefix="$KESTRO_BUILD/wineprefix"
bare="$scratch/bare-prefix"
mkdir -p "$bare"
ln -s "$prefix/drive_c" "$bare/drive_c"
ln -s "$prefix/dosdevices" "$bare/dosdevices"
for reg in system.reg user.reg userdef.reg; do
  [ -f "$prefix/$reg" ] && grep -v '^"vidc.KEST"=' "$prefix/$reg" >"$bare/$reg"
done
grep -q '^"vidc.KEST"=' "$prefix/system.reg" || fail "the build's prefix has no vidc.KEST value to hide"
arch=win64; grep -q '#arch=win32' "$prefix/system.reg" && arch=win32
rc=0
WINEPREFIX="$bare" WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES='mshtml=;mscoree=' \
  WINELOADER="$(loader_of "$KESTRO_BUILD")" "$(loader_of "$KESTRO_BUILD")" "$KESTRO_HOST" capture --frames 2 -o "$win\\unreg.avi" 2>"$scratch/err" || rc=$?
WINEPREFIX="$bare" wineserver -k 2>/dev/null || true
[ $rc = 3 ] || { cat "$scratch/err" >&2; fail "unregistered codec: exit $rc, expected 3"; }
expect_err 'the codec is not registered: no value "vidc.KEST"'
echo "host commands behave"
