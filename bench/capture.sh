#!/bin/sh
# Runs capture_bench of a build under Wine against a native sequential write of the same bytes
# into the same folder (the build's drive T:, a tmpfs folder).
# Usage: bench/capture.sh <build dir>
set -e
build=${1:?build dir}
here=$(cd "$(dirname "$0")" && pwd)
tag=$(printf %s "$build" | md5sum | cut -c1-12)
folder=/dev/shm/kestro-$tag
mkdir -p "$folder"
native=$(mktemp /tmp/native_write.XXXXXX)
g++ -O2 -std=c++20 -o "$native" "$here/native_write.cpp"
total=$((768 * 1024 * 1024))
rates=""
for frame in $((720 * 480 * 2)) $((1920 * 1080 * 2)) $((1920 * 1088 * 2)); do
  rates="$rates $("$native" "$folder/native.bin" $frame $total)"
done
rm -f "$native"
"$build/wine-run" "$build/bench/capture_bench.exe" 'T:\' $rates
