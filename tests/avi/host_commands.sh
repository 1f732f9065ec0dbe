#!/bin/bash
# The host program's command line as users meet it: pipes, wrong sizes, Ctrl-C, broken references
# and a codec that is not registered.
source "$(dirname "$0")/lib.sh"
data="$win\\kestro"

# Frames through pipes both ways.
host pattern --frames 6 -o - >"$scratch/six.yuy2"
host --datafile "$data" capture --input - -o "$win\\pipe.avi" -q <"$scratch/six.yuy2"
host play "$win\\pipe.avi" --as yuy2 -o - -q >"$scratch/pipe.yuy2"
cmp "$scratch/six.yuy2" "$scratch/pipe.yuy2" || fail "frames piped through the codec changed"

# A size that does not divide the input: whole frames are kept, the rest is reported.
expect_rc 4 "wrong --size" host capture --input "$win\\six.yuy2" --size 640x400 -o "$win\\wrong.avi"
expect_err "--size or --format is wrong"
expect_err "partial frame was not captured"
host verify "$win\\wrong.avi" | grep -q "all 7 frames intact" || fail "the whole frames were not kept"
expect_rc 2 "odd width" host capture --size 641x480 -o "$win\\odd.avi"
expect_err "even width"
expect_rc 2 "bad size" host capture --size 640 -o "$win\\bad.avi"
expect_err 'bad --size "640"'

# Ctrl-C in a live capture: the AVI is closed with every frame captured so far.
host capture --frames 0 --pace -o "$win\\ctrlc.avi" 2>"$scratch/ctrlc.err" &
runner=$!
for _ in $(seq 100); do
  grep -q "frames [1-9]" "$scratch/ctrlc.err" 2>/dev/null && break
  sleep 0.2
done
# Ctrl-C in a console reaches every process of the foreground group; here: the ones this run
# started, found by its own scratch folder (the other build's run may be capturing at the same time).
for pid in $(pgrep -f -- "$(basename "$scratch").ctrlc\.avi"); do kill -INT "$pid" 2>/dev/null || true; done
rc=0; wait $runner || rc=$?
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

# A data file whose records playback would never open: refused at the begin, saying why.
expect_rc 3 "relative data file" host --datafile kestro-relative capture --frames 2 -o "$win\\rel.avi"
expect_err "a relative name: playback opens only pieces named by an absolute path"
host --datafile "$data" --help >/dev/null

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
