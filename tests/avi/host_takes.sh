#!/bin/bash
# Takes side by side: two captures into numbered data files, listed by both tools' takes; one
# removed leaves the other playing, and every command refuses the removed one's frames, saying so.
source "$(dirname "$0")/lib.sh"

frame=$((640 * 480 * 2))
host pattern --frames 8 -o - >"$scratch/eight.yuy2"
head -c $((4 * frame)) "$scratch/eight.yuy2" >"$scratch/first.yuy2"
tail -c +$((4 * frame + 1)) "$scratch/eight.yuy2" >"$scratch/second.yuy2"
host --datafile "$win\\take" capture --input - -o "$win\\first.avi" -q <"$scratch/first.yuy2"
host --datafile "$win\\take-2" capture --input - -o "$win\\second.avi" -q <"$scratch/second.yuy2"
id_of() { sed -n 's/^id=//p' "$scratch/$1" | tr -d '\r'; }
first=$(id_of take.take)
second=$(id_of take-2.take)
[ -n "$first" ] && [ -n "$second" ] && [ "$first" != "$second" ] || fail "no two takes: $first $second"

# Both listed, from the settings' data file (take-2 now) or the first's name, with their AVIs.
expect_rc 0 "takes" host takes --avi-dir "$win"
for id in "$first" "$second"; do
  grep -q "^  take:   $id, started .*, ended .*, 4 frames" "$scratch/out" ||
    { cat "$scratch/out" >&2; fail "takes does not list take $id"; }
done
grep -q "^  pieces: 1, $((4 * frame)) bytes on disk (take-2.000)" "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "takes does not count the second take's piece"; }
grep -q "^  avi:    first.avi: 4 frames, of this take" "$scratch/out" || fail "first.avi is not named"
host takes "$win\\take" | cmp - <(host takes "$win\\take-2") || fail "takes of take and of take-2 differ"
if [ -x "${KESTRO_NATIVE_TOOL:-}" ]; then
  "$KESTRO_NATIVE_TOOL" takes "$scratch/take" --avi-dir "$scratch" >"$scratch/native"
  grep -q "^  avi:    second.avi: 4 frames, of this take" "$scratch/native" ||
    { cat "$scratch/native" >&2; fail "kestro takes does not name second.avi"; }
fi

# Refused: without a console or --yes, an identity no take has; nothing goes.
expect_rc 2 "takes --remove, no console" host takes --remove "$first" </dev/null
expect_err "standard input is no console"
grep -q "take.000" "$scratch/out" || fail "what would go was not said"
expect_rc 2 "takes --remove, unknown" host takes --remove 0badcafe --yes
expect_err "no take 0badcafe among the takes"
[ -f "$scratch/take.000" ] || fail "a refused removal removed the piece"

expect_rc 0 "takes --remove" host takes --remove "$first" --yes
grep -q "^removed take $first: 1 piece(s), .*, and its journal" "$scratch/out" || { cat "$scratch/out" >&2; fail "no summary"; }
[ ! -e "$scratch/take.journal" ] && [ -f "$scratch/take-2.journal" ] || fail "the journals are not the takes' own"
[ ! -e "$scratch/take.000" ] || fail "the piece was not removed"
grep -q '^removed=' "$scratch/take.take" || fail "the take file was not marked"
host play "$win\\second.avi" --as yuy2 -o - -q | cmp - "$scratch/second.yuy2" ||
  fail "the second take does not play after the first was removed"
expect_rc 2 "takes --remove, again" host takes --remove "$first" --yes
expect_err "was removed already"

# Every command refuses the removed take's frames, and says it was removed.
expect_rc 1 "verify, removed" host verify "$win\\first.avi"
expect_err "frame 0: the record names .*take.000 .* was removed on "
expect_rc 1 "play, removed" host play "$win\\first.avi" --as yuy2 -o "$win\\none.yuy2"
expect_err "frame 0 cannot be played: .*was removed on "
expect_rc 1 "play --getframe, removed" host play "$win\\first.avi" --getframe --as rgb24 -o "$win\\none.rgb"
expect_err "was removed on "
expect_rc 1 "export, removed" host export "$win\\first.avi" - -q
expect_err "was removed on "
expect_rc 1 "info, removed" host info "$win\\first.avi"
grep -q "removed on " "$scratch/out" "$scratch/err" || fail "info does not say the take was removed"
[ ! -s "$scratch/none.yuy2" ] && [ ! -s "$scratch/none.rgb" ] || fail "frames of a removed take were shown"
if [ -x "${KESTRO_NATIVE_TOOL:-}" ]; then
  rc=0
  "$KESTRO_NATIVE_TOOL" verify "$scratch/first.avi" 2>"$scratch/err" || rc=$?
  [ $rc = 1 ] && grep -q "was removed on " "$scratch/err" ||
    { cat "$scratch/err" >&2; fail "kestro verify does not refuse the removed take ($rc)"; }
fi
# A take striped over two folders: one row naming both, and a removal from both, refused whole
# while either stripe's take file, or the first one's name for it, is not the take's.
mkdir -p "$scratch/sa" "$scratch/sb"
for f in sa/st.000 sa/st.001 sb/st.000; do head -c 8192 /dev/zero >"$scratch/$f"; done
stripe_take() { # folder stripe id second-stripe-name
  printf '[take]\r\nid=%s\r\nstarted=2026-12-11T09:00:00Z\r\npiecebytes=0\r\nframes=3\r\nended=2026-12-11T09:01:00Z\r\nstripe=%s\r\nstripefile=%s\r\nstripefile=%s\r\n' \
    "$3" "$2" "$win\\sa\\st" "$4" >"$scratch/$1/st.take"
}
striped() { stripe_take sa 0 5717ed00 "${1:-$win\\sb\\st}"; stripe_take sb 1 "${2:-5717ed00}" "$win\\sb\\st"; }
striped
expect_rc 0 "takes, striped" host takes "$win\\sb\\st"
[ "$(grep -c '^data file: ' "$scratch/out")" = 1 ] || { cat "$scratch/out" >&2; fail "a striped take is not one row"; }
grep -q "^  stripe: 0, .*sa.st: 2 piece(s), 16384 bytes, in .*sa." "$scratch/out" &&
  grep -q "^  all:    3 piece(s), 24576 bytes on disk in 2 of its 2 data files" "$scratch/out" ||
  { cat "$scratch/out" >&2; fail "takes does not name the other stripe"; }
# name of stripe 1 in stripe 0's file | id of stripe 1's file | what a listing of sa says | refusal
while IFS='|' read -r name id listed refusal; do
  striped "${name:-$win\\sb\\st}" "${id:-5717ed00}"
  rm -rf "$scratch/sb/st.take.gone"
  [ "$id" != gone ] || mv "$scratch/sb/st.take" "$scratch/sb/st.take.gone"
  expect_rc 0 "takes, $refusal" host takes "$win\\sa\\st"
  grep -q -- "$listed" "$scratch/out" || { cat "$scratch/out" >&2; fail "takes does not say: $listed"; }
  expect_rc 2 "takes --remove, $refusal" host takes "$win\\sa\\st" --remove 5717ed00 --yes
  expect_err "nothing removed: .*$refusal"
  for f in sa/st.000 sa/st.001 sb/st.000; do [ -f "$scratch/$f" ] || fail "a refused removal removed $f"; done
  ! grep -q '^removed=' "$scratch/sa/st.take" || fail "a refused removal marked the take"
done <<ROWS
|0badcafe|names take 0badcafe: this take's frames there are gone|names take 0badcafe
|gone|missing: no take file st.take in|has no take file in
$win\\sb\\con||not looked at: |cannot be looked at: 
\\\\server\\share\\st||not looked at: |cannot be looked at: 
ROWS
striped
expect_rc 0 "takes --remove, striped" host takes "$win\\sb\\st" --remove 5717ed00 --yes
grep -q "^removed take 5717ed00: 3 piece(s), 24576 bytes" "$scratch/out" || { cat "$scratch/out" >&2; fail "no summary of the striped removal"; }
for s in sa sb; do
  [ ! -e "$scratch/$s/st.000" ] || fail "the piece in $s was not removed"
  grep -q '^removed=' "$scratch/$s/st.take" && grep -q '^stripefile=' "$scratch/$s/st.take" ||
    fail "the take file in $s was not marked, or lost its stripes"
done
if [ -x "${KESTRO_NATIVE_TOOL:-}" ]; then
  WINEPREFIX="$KESTRO_BUILD/wineprefix" "$KESTRO_NATIVE_TOOL" takes "$scratch/sa" >"$scratch/native"
  grep -q "^  stripe: 1, .*sb.st: 0 piece(s), 0 bytes, in .*/sb/$" "$scratch/native" ||
    { cat "$scratch/native" >&2; fail "kestro takes does not find the other stripe through the prefix"; }
fi
echo "takes behave"
