#!/bin/bash
# Configures and builds one flavour into build/<flavour>: i686 and x86_64 are the Windows DLLs
# (cross-built, tested under Wine); native builds the pure parts for Linux tests and benchmarks;
# native-san builds the same native tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:?usage: build.sh i686|x86_64|native|native-san}
dir="$root/build/$flavour"
args=(-DCMAKE_BUILD_TYPE=Release)
case "$flavour" in
  i686|x86_64) args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$flavour.cmake") ;;
  native) ;;
  native-san)
    # Any finding ends the program with an error; optimised, so that the run stays short.
    san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRO_SANITIZE=ON -DCMAKE_CXX_FLAGS="$san"
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined") ;;
  *) echo "build.sh: unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$dir" "${args[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
