#!/bin/bash
# One fuzz target. `replay TARGET DIR` runs every input of DIR once: the inputs that once failed,
# which must pass now. `fuzz TARGET CORPUS FINDINGS` fuzzes for KESTRO_FUZZ_SECONDS (default 60)
# from CORPUS, which keeps what it learns, at nice level KESTRO_FUZZ_NICE (default 10), and
# leaves every failing input in FINDINGS.
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
    mkdir -p "$corpus" "$findings"
    nice -n "${KESTRO_FUZZ_NICE:-10}" "$target" -max_total_time="${KESTRO_FUZZ_SECONDS:-60}" \
      -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$corpus" 2>&1 | grep -vE '^#[0-9]+\s+(NEW|REDUCE|pulse)'
    status=${PIPESTATUS[0]}
    if [ "$status" -ne 0 ]; then
      echo "$name: failed; the input is in $findings/. Keep it as a regression input:"
      echo "  cp $findings/<file> fuzz/regressions/$name/"
    fi
    exit "$status"
    ;;
  *)
    echo "run-target.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac
