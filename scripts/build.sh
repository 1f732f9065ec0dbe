#!/bin/bash
# Configures and builds one flavour into build/<flavour>: i686 and x86_64 are the Windows DLLs
# (cross-built, tested under Wine); native builds the pure parts for Linux tests and benchmarks;
# native-san builds the same native tests under AddressSanitizer and UndefinedBehaviorSanitizer;
# fuzz builds the libFuzzer targets with clang.
# The flavours are the presets of CMakePresets.json. KESTRO_WERROR=ON makes warnings errors
# (scripts/test.sh sets it); anything else builds with warnings as warnings. Further arguments go
# to `cmake --build` (`--target kestro32 kestro-host` builds only those).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:?usage: build.sh i686|x86_64|native|native-san|fuzz [--target NAME...]}
shift
case "$flavour" in
  i686|x86_64|native|native-san|fuzz) ;;
  *) echo "build.sh: unknown flavour $flavour" >&2; exit 2 ;;
esac
cd "$root"
cmake --preset "$flavour" -DKESTRO_WERROR="${KESTRO_WERROR:-OFF}" >/dev/null
cmake --build --preset "$flavour" -j"$(nproc)" "$@"
