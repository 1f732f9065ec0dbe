#!/bin/sh
# The longest functions and the files over 600 lines under the folders given (default src tools).
# Usage: scripts/sizes.sh [-n COUNT] [FOLDER...]
set -eu
count=15
if [ "${1:-}" = "-n" ]; then count=$2; shift 2; fi
[ $# -gt 0 ] || set -- src tools
files=$(find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
echo "files over 600 lines:"
for f in $files; do n=$(wc -l <"$f"); [ "$n" -gt 600 ] && echo "  $n $f"; done | sort -rn || true
echo "longest functions (lines, name, where):"
# ctags gives each function's first and last line; lambdas count in the function that holds them.
ctags --language-force=C++ --c++-kinds=f --fields=+ne -o - $files |
  awk -F'\t' '{ line = 0; end = 0
       for (i = 4; i <= NF; i++) { if ($i ~ /^line:/) line = substr($i, 6); if ($i ~ /^end:/) end = substr($i, 5) }
       if (end) printf "  %d %s %s:%d\n", end - line + 1, $1, $2, line }' |
  sort -rn | head -n "$count"
