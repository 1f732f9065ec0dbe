#!/bin/bash
# Sets up, builds both DLLs, the native parts under the sanitizers and the fuzz targets, and runs
# every test; each phase's time is printed at its end and all of them once more at the close.
#   scripts/test.sh          the test command (CI runs it)
#   scripts/test.sh --long   the same with the long counts: fuzzing, the codec-manager fuzz, the
#                            random cuts and kills (run it before closing work that touches them)
# Warnings are errors here (and so in CI); KESTRO_WERROR=OFF scripts/test.sh lets them pass.
# The 32-bit build's tests run wherever scripts/i386.sh finds a way to start 32-bit programs;
# where none works the command fails, unless KESTRO_ALLOW_NO_I686=1 (a local run).
#
# The phases overlap so that both cores stay busy: each Windows build's tests start as soon as it
# is built, while the next flavour builds. A test that needs another flavour (the other
# architecture, the package, the native tool) waits for it: this script holds
# build/<flavour>.lock until that flavour is built (the package with x86_64), and the test takes
# it shared (tests/script-test.sh). Within one Wine prefix the test programs run one after another (the test
# presets say so), since they share the codec's settings file. The fuzz targets run at a lower
# priority (KESTRO_FUZZ_NICE, 10), so that they take the time the other tests leave.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
"") ;;
--long) export KESTRO_LONG=1 ;;
*) echo "usage: scripts/test.sh [--long]" >&2; exit 2 ;;
esac
logs="$root/build/test-logs"
mkdir -p "$logs"
rm -f "$logs"/*.log "$logs/phases"
begin=$(date +%s)

# phase NAME COMMAND...: runs the command, prints the phase's time at its end and keeps it for the
# summary (with its start, as seconds into the run).
phase() {
  local name=$1 t0 rc=0
  shift
  t0=$(date +%s)
  "$@" || rc=$?
  local t1
  t1=$(date +%s)
  printf '%-22s start %5d s  took %5d s  %s\n' "$name" $((t0 - begin)) $((t1 - t0)) \
    "$([ $rc -eq 0 ] && echo ok || echo "FAILED ($rc)")" >>"$logs/phases"
  printf '== %s: %d s%s\n' "$name" $((t1 - t0)) "$([ $rc -eq 0 ] || echo ", FAILED ($rc)")"
  return $rc
}

phase setup "$root/scripts/setup.sh" || exit 1
mode=$("$root/scripts/i386.sh" mode)
echo "== 32-bit programs: $mode ($([ "$mode" = qemu ] && echo "qemu-i386 in a private binfmt_misc" ||
  echo "started by the kernel"))"
if [ "$mode" = none ] && [ "${KESTRO_ALLOW_NO_I686:-}" != 1 ]; then
  echo "test.sh: this machine starts no 32-bit program and scripts/setup.sh found no emulator, so" \
    "the i686 build cannot be tested (KESTRO_ALLOW_NO_I686=1 runs the rest, for a local run)" >&2
  exit 1
fi

flavours=(i686 x86_64 native-san fuzz)
declare -A lock
for f in "${flavours[@]}"; do
  exec {fd}>"$root/build/$f.lock"
  flock "$fd"
  lock[$f]=$fd
done
built() { flock -u "${lock[$1]}"; }

build() { # flavour: the build's output goes to its log, shown when it fails
  KESTRO_WERROR=${KESTRO_WERROR:-ON} "$root/scripts/build.sh" "$1" >"$logs/build-$1.log" 2>&1 || {
    tail -n 60 "$logs/build-$1.log"
    echo "build of $1 failed (build/test-logs/build-$1.log)"
    return 1
  }
}

run() { # flavour
  local f=$1
  case $f in
  fuzz) # verbose: the log keeps each target's executions and coverage; two targets at a time
    (cd "$root" && ctest --preset "$f" -V -j2) >"$logs/$f.log" 2>&1 ;;
  native-san) (cd "$root" && ctest --preset "$f") >"$logs/$f.log" 2>&1 ;;
  *)
    (cd "$root" && "$root/scripts/i386.sh" run xvfb-run -a -s "-screen 0 1280x1024x24" \
      ctest --preset "$f") >"$logs/$f.log" 2>&1 ;;
  esac
}

fail_all() { # a flavour that did not build: its waiting tests are released to fail
  for f in "${flavours[@]}"; do built "$f"; done
  wait
  exit 1
}

pids=()
# The 32-bit build first: where its programs run under the emulator, its tests take longest.
phase "build i686" build i686 || fail_all
built i686
phase "tests i686" run i686 & pids+=($!)
phase "build x86_64" build x86_64 || fail_all
phase package "$root/scripts/package.sh" >"$logs/package.log" 2>&1 || fail_all
built x86_64
sleep 3 # let the first virtual display claim its number
phase "tests x86_64" run x86_64 & pids+=($!)
# The native tool serves the Windows builds' export tests, which come halfway through their run.
phase "build native-san" build native-san || fail_all
built native-san
phase "tests native-san" run native-san & pids+=($!)
phase "build fuzz" build fuzz || fail_all
built fuzz
phase "tests fuzz" run fuzz & pids+=($!)
rc=0
for p in "${pids[@]}"; do wait "$p" || rc=1; done

passed=0 failed=0 skipped=0
for f in "${flavours[@]}"; do
  echo "== tests of $f"
  cat "$logs/$f.log"
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$logs/$f.log" | tail -1)
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  skip=$(grep -cE '\(Skipped\)$' "$logs/$f.log")
  passed=$((passed + ${total:-0} - ${bad:-0} - skip)) failed=$((failed + ${bad:-0}))
  skipped=$((skipped + skip))
done
[ $rc -eq 0 ] || failed=$((failed > 0 ? failed : 1))
echo "== phases (seconds into the run)"
cat "$logs/phases"
echo "total $(($(date +%s) - begin)) s; 32-bit programs: $mode"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
