#!/bin/bash
# Long fuzz runs of the libFuzzer targets (built by scripts/build.sh fuzz): each target for SECONDS
# (default 600) from SEED (default: a random one, printed), keeping what it learns in
# build/fuzz/corpus-long/<target> between runs. A failing input is copied into
# fuzz/regressions/<target>/ (to be kept with its fix), and the command that finds it again is
# printed. With TARGET names only those run.
#
#   scripts/fuzz.sh [SECONDS [SEED [TARGET...]]]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
seed=${2:-$((RANDOM * 32768 + RANDOM))}
shift $(($# > 2 ? 2 : $#))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_avi fuzz_export fuzz_pure fuzz_wave fuzz_recover fuzz_journal)
build=$root/build/fuzz
[ -x "$build/fuzz/fuzz_seeds" ] || { echo "fuzz.sh: build the targets first: scripts/build.sh fuzz" >&2; exit 2; }
norandom=(setarch "$(uname -m)" -R)
"${norandom[@]}" true 2>/dev/null || norandom=()

failed=0
for target in "${targets[@]}"; do
  program=$build/fuzz/$target
  [ -x "$program" ] || { echo "fuzz.sh: $program is not built" >&2; exit 2; }
  corpus=$build/corpus-long/$target findings=$build/findings-long/$target
  mkdir -p "$corpus" "$findings"
  # The seeds once, then whatever earlier long runs learnt.
  [ -n "$(ls -A "$corpus")" ] || "$build/fuzz/fuzz_seeds" "$build/corpus-long" >/dev/null
  before=$(ls "$findings" | wc -l)
  echo "== $target: $seconds s, seed $seed, $(ls "$corpus" | wc -l) inputs in $corpus"
  # A failure ends no run: every failing input is kept, and the run goes on to the time limit.
  log=$build/findings-long/$target.log
  nice -n "${KESTRO_FUZZ_NICE:-10}" "${norandom[@]}" "$program" -seed="$seed" -fork=1 \
    -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=3 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1
  grep -E '^#[0-9]+:' "$log" | tail -1
  grep -E 'ERROR: libFuzzer|SUMMARY|^fuzz check failed' "$log" | sort | uniq -c | head -20
  after=$(ls "$findings" | wc -l)
  echo "$target: $(ls "$corpus" | wc -l) inputs in the corpus now, $((after - before)) new failing inputs"
  if [ "$after" -gt "$before" ]; then
    failed=1
    mkdir -p "$root/fuzz/regressions/$target"
    for f in $(ls -t "$findings" | head -n $((after - before))); do
      cp "$findings/$f" "$root/fuzz/regressions/$target/$f"
      echo "  kept fuzz/regressions/$target/$f: $program $root/fuzz/regressions/$target/$f"
    done
  fi
done
exit "$failed"
