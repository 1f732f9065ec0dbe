#!/bin/bash
# One fuzz target. `replay TARGET DIR` runs every input of DIR once: the inputs that once failed,
# which must pass now. `fuzz TARGET CORPUS FINDINGS RUNS LONGRUNS` replays the seed corpus CORPUS,
# then fuzzes for RUNS executions (LONGRUNS with KESTRO_LONG=1; KESTRO_FUZZ_RUNS overrides both) with the seed KESTRO_FUZZ_SEED
# (default 1) and address randomisation off, at nice level KESTRO_FUZZ_NICE (default 10), and
# leaves every failing input in FINDINGS.
# A count of executions, not a time: libFuzzer with a fixed seed, no corpus reloading, no learning
# from the values the target compares (below) and no count of the stack's depth (the fuzz build
# leaves it out: it moves with the arguments' length) makes the same inputs in the same order on
# every machine, so a CI run fails or passes as every other run of the same tree does, however
# fast its machine and wherever its checkout, and its failure is found again by the command it
# prints. KESTRO_FUZZ_SECONDS stops a run earlier (by hand only: that run is no longer
# repeatable). What it learns goes to a scratch folder, never into CORPUS; KESTRO_FUZZ_KEEP=1
# keeps it in CORPUS instead (long runs).
set -uo pipefail
mode=${1:?usage: run-target.sh replay TARGET DIR | fuzz TARGET CORPUS FINDINGS RUNS LONGRUNS}
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
    "$target" -timeout=120 -rss_limit_mb=2048 "${files[@]}" 2>&1 | grep -vE '^(Running|Executed) ' 
    status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] && echo "$name: ${#files[@]} regression inputs pass"
    exit "$status"
    ;;
  fuzz)
    corpus=${3:?corpus folder} findings=${4:?findings folder}
    runs=${5:?executions}
    [ "${KESTRO_LONG:-}" = 1 ] && runs=${6:?long executions}
    runs=${KESTRO_FUZZ_RUNS:-$runs}
    seed=${KESTRO_FUZZ_SEED:-1}
    mkdir -p "$corpus" "$findings"
    learnt=$(mktemp -d)
    trap 'rm -rf "$learnt"' EXIT
    dirs=("$learnt" "$corpus")
    [ "${KESTRO_FUZZ_KEEP:-0}" = 1 ] && dirs=("$corpus")
    limit=()
    [ -n "${KESTRO_FUZZ_SECONDS:-}" ] && limit=(-max_total_time="$KESTRO_FUZZ_SECONDS")
    # Where the heap and the stack lie decides nothing then, as far as the system allows.
    norandom=(setarch "$(uname -m)" -R)
    "${norandom[@]}" true 2>/dev/null || { norandom=(); echo "$name: setarch -R is refused here: addresses are randomised"; }
    # -reload=0: rereading the corpus folder every second makes the run depend on the clock. So
    # does a timeout, the one finding that depends on the machine's speed and load: every input
    # here runs in well under a second, and one took 11 s on a starved machine, so only what runs
    # for two minutes counts as hanging.
    # -use_cmp=0: among the compared values are addresses, and where the heap and the program's
    # data lie differs with the checkout's folder (names in the sanitizers' data, the lengths of
    # libFuzzer's own paths) and, with FFmpeg loaded, from run to run (a constructor of libhwy
    # allocates as many blocks as its clock says). The long runs (scripts/fuzz.sh) learn from them.
    options=(-seed="$seed" -runs="$runs" -reload=0 -use_cmp=0 -timeout=120 -rss_limit_mb=2048 -close_fd_mask=3)
    echo "$name: seed $seed, $runs executions${limit:+ or ${KESTRO_FUZZ_SECONDS} s}, from $(ls "$corpus" | wc -l) seed inputs in $corpus"
    nice -n "${KESTRO_FUZZ_NICE:-10}" "${norandom[@]}" "$target" "${options[@]}" "${limit[@]}" \
      -print_final_stats=1 -artifact_prefix="$findings/" "${dirs[@]}" 2>&1 |
      grep -vE '^#[0-9]+\s+(NEW|REDUCE|pulse)' | tee "$learnt.log"
    status=${PIPESTATUS[0]}
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$learnt.log" | tail -1)
    rm -f "$learnt.log"
    if [ "$status" -ne 0 ]; then
      echo "$name: failed after ${executed:-?} executions; the input is in $findings/. Keep it as a regression input:"
      echo "  cp $findings/<file> fuzz/regressions/$name/"
      echo "The run again, on any machine (the same seed corpus, an empty scratch folder):"
      echo "  ${norandom[*]} $target ${options[*]} \$(mktemp -d) $corpus"
    fi
    exit "$status"
    ;;
  *)
    echo "run-target.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac
