#!/bin/bash
# One fuzz target. `replay TARGET DIR` runs every input of DIR once: the inputs that once failed,
# which must pass now. `fuzz TARGET CORPUS FINDINGS` replays the seed corpus CORPUS, then fuzzes
# for KESTRO_FUZZ_SECONDS (default 60) with the seed KESTRO_FUZZ_SEED (default 1) and address
# randomisation off, at nice level KESTRO_FUZZ_NICE (default 10), and leaves every failing input
# in FINDINGS. What it learns goes to a scratch folder, never into CORPUS: every run starts from
# the same inputs, so that a failure of a CI run is found again from the seed and the run count
# its log prints. KESTRO_FUZZ_KEEP=1 keeps what it learns in CORPUS instead (long runs).
set -uo pipefail
mode=${1:?usage: run-target.sh replay TARGET DIR | fuzz TARGET CORPUS FINDINGS}
target=${2:?target}
name=$(basename "$target")
case "$mode" in
  replay)
    dir=${3:?folder of inputs}
    shopt -s nullglob
    files=("$dir"/*)
    if [ ${#files[@]} -eq 0 ]; then
      echo "$name: no regression inputs in $dir"
      exit 0
    fi
    "$target" -timeout=30 -rss_limit_mb=2048 "${files[@]}" 2>&1 | grep -vE '^(Running|Executed) ' 
    status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] && echo "$name: ${#files[@]} regression inputs pass"
    exit "$status"
    ;;
  fuzz)
    corpus=${3:?corpus folder} findings=${4:?findings folder}
    seed=${KESTRO_FUZZ_SEED:-1}
    mkdir -p "$corpus" "$findings"
    learnt=$(mktemp -d)
    trap 'rm -rf "$learnt"' EXIT
    dirs=("$learnt" "$corpus")
    [ "${KESTRO_FUZZ_KEEP:-0}" = 1 ] && dirs=("$corpus")
    # Where the heap and the stack lie decides nothing then, as far as the system allows.
    norandom=(setarch "$(uname -m)" -R)
    "${norandom[@]}" true 2>/dev/null || { norandom=(); echo "$name: setarch -R is refused here: addresses are randomised"; }
    echo "$name: seed $seed, ${KESTRO_FUZZ_SECONDS:-60} s, from $(ls "$corpus" | wc -l) seed inputs in $corpus"
    nice -n "${KESTRO_FUZZ_NICE:-10}" "${norandom[@]}" "$target" -seed="$seed" \
      -max_total_time="${KESTRO_FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix="$findings/" "${dirs[@]}" 2>&1 |
      grep -vE '^#[0-9]+\s+(NEW|REDUCE|pulse)' | tee "$learnt.log"
    status=${PIPESTATUS[0]}
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$learnt.log" | tail -1)
    rm -f "$learnt.log"
    if [ "$status" -ne 0 ]; then
      echo "$name: failed; the input is in $findings/. Keep it as a regression input:"
      echo "  cp $findings/<file> fuzz/regressions/$name/"
      echo "The run again (the same seed corpus, an empty scratch folder):"
      echo "  ${norandom[*]} $target -seed=$seed -runs=${runs:-N} -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \$(mktemp -d) $corpus"
    fi
    exit "$status"
    ;;
  *)
    echo "run-target.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac
