#!/bin/bash
# Sets up, builds both DLLs, the native parts and the fuzz targets, and runs every test. Warnings
# are errors here (and so in CI, which runs this script); KESTRO_WERROR=OFF scripts/test.sh lets
# them pass. The two Windows builds run side by side, each in its own Wine prefix; within one
# prefix the test programs run one after another (the test presets say so), since they share the
# codec's settings file. The fuzz targets replay their regression inputs and fuzz for a fixed
# count of executions each (the same inputs on every machine) meanwhile, at a lower priority
# (KESTRO_FUZZ_NICE, 10), so that they take the time the other tests leave.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" || exit 1
for f in i686 x86_64 native native-san fuzz; do
  echo "== build $f"
  KESTRO_WERROR=${KESTRO_WERROR:-ON} "$root/scripts/build.sh" "$f" || { echo "build of $f failed"; exit 1; }
done
echo "== package"
"$root/scripts/package.sh" || { echo "packaging failed"; exit 1; }

logs="$root/build/test-logs"
mkdir -p "$logs"
run() { # flavour
  local f=$1
  if [ "$f" = fuzz ]; then # verbose: the log keeps each target's executions and coverage
    # Two targets at a time: once the other tests have ended, the last targets would otherwise
    # leave a core idle.
    (cd "$root" && ctest --preset "$f" -V -j2) >"$logs/$f.log" 2>&1
  elif [ "$f" = native ] || [ "$f" = native-san ]; then
    (cd "$root" && ctest --preset "$f") >"$logs/$f.log" 2>&1
  else
    (cd "$root" && xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset "$f") >"$logs/$f.log" 2>&1
  fi
}
run i686 & p1=$!
sleep 3 # let the first virtual display claim its number
run x86_64 & p2=$!
run fuzz & p4=$!
run native; r3=$?
run native-san || r3=1
wait $p1; r1=$?
wait $p2; r2=$?
wait $p4; r4=$?

passed=0; failed=0; skipped=0
for f in i686 x86_64 native native-san fuzz; do
  echo "== tests of $f"
  cat "$logs/$f.log"
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$logs/$f.log" | tail -1)
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  skip=$(grep -cE '\(Skipped\)$' "$logs/$f.log")
  passed=$((passed + ${total:-0} - ${bad:-0} - skip)); failed=$((failed + ${bad:-0}))
  skipped=$((skipped + skip))
done
[ $r1 -eq 0 ] && [ $r2 -eq 0 ] && [ $r3 -eq 0 ] && [ $r4 -eq 0 ] || failed=$((failed > 0 ? failed : 1))
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
