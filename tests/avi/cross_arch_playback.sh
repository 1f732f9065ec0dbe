#!/bin/bash
# A capture made by one architecture's codec plays through the other's, both ways: the AVI and the
# data file carry nothing that depends on the build.
source "$(dirname "$0")/lib.sh"
other=${KESTRO_OTHER_BUILD:-}
if [ -z "$other" ] || [ ! -x "$other/wine-run" ] || [ ! -f "$other/tools/kestro-host.exe" ] ||
  [ ! -f "$other/kestro32.dll" ]; then
  echo "SKIP: the other architecture's build (${other:-none}) with kestro32.dll and tools/kestro-host.exe is absent; build it (scripts/build.sh i686 / x86_64) to run this test"
  exit 77
fi
if ! can_run "$other"; then
  echo "SKIP: this system cannot start $(loader_of "$other"), which the other build needs"
  exit 77
fi
# The other build runs its own tests at the same time (scripts/test.sh runs both side by side),
# and they rewrite the codec's settings file of that build's prefix: a capture there could find
# another data file than the one it asked for. So the other build's codec and host run here in a
# prefix of their own, made for this test.
arch=$(grep -o "KESTRO_ARCH='[a-z0-9_]*'" "$other/wine-run" | cut -d"'" -f2)
private="$scratch/other-build"
mkdir -p "$private/tools" "$private/tests"
ln -s "$other/kestro32.dll" "$private/kestro32.dll"
ln -s "$other/tools/kestro-host.exe" "$private/tools/kestro-host.exe"
[ -f "$other/tests/kesttest.dll" ] && ln -s "$other/tests/kesttest.dll" "$private/tests/kesttest.dll"
run_private() { KESTRO_BUILD_DIR="$private" KESTRO_ARCH="$arch" "$root/scripts/wine-run.sh" "$@"; }
private_shm="/dev/shm/kestro-$(printf %s "$private" | md5sum | cut -c1-12)"
end_private() {
  WINEPREFIX="$private/wineprefix" wineserver -k 2>/dev/null || true
  rm -rf "$private_shm"
  cleanup
}
trap end_private EXIT
other="$private"

host pattern --format uyvy --size 256x128 --frames 9 -o "$win\\in.uyvy"
for direction in here-to-other other-to-here; do
  if [ $direction = here-to-other ]; then cap=host; play="host_of $other"; else cap="host_of $other"; play=host; fi
  $cap --datafile "$win\\$direction" capture --input "$win\\in.uyvy" --format uyvy --size 256x128 \
    -o "$win\\$direction.avi" -q
  $play verify "$win\\$direction.avi"
  $play play "$win\\$direction.avi" --as uyvy -o "$win\\$direction.uyvy" -q
  cmp "$scratch/in.uyvy" "$scratch/$direction.uyvy" || fail "$direction: uyvy frames differ"
  $play play "$win\\$direction.avi" --as rgb32 -o "$win\\$direction.rgb32" -q
  $cap play "$win\\$direction.avi" --as rgb32 -o "$win\\$direction-same.rgb32" -q
  cmp "$scratch/$direction.rgb32" "$scratch/$direction-same.rgb32" || fail "$direction: rgb32 differs"
done
echo "captures play across the 32-bit and 64-bit codecs"
