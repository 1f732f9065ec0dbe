#!/bin/bash
# Configures and builds one flavour into build/<flavour>: i686 and x86_64 are the Windows DLLs
# (cross-built, tested under Wine); native builds the pure parts for Linux tests and benchmarks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:?usage: build.sh i686|x86_64|native}
dir="$root/build/$flavour"
args=()
case "$flavour" in
  i686|x86_64) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$flavour.cmake") ;;
  native) ;;
  *) echo "build.sh: unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "${args[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
