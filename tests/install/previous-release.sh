#!/bin/bash
# The package of the previous release, 0.4.0 (commit 8de5613), for the installer's upgrade test:
# kept in tests/inputs/release-0.4.0/kestro32-0.4.0.zip and unpacked into OUT once.
#   previous-release.sh SOURCE OUT            prints the package folder (OUT/dist/kestro32-0.4.0)
#   previous-release.sh --rebuild SOURCE OUT  makes the zip again from the repository's history:
#     that commit's source built for both Windows flavours (the codec and kestro-host only) and
#     packaged by that commit's package.sh; copy OUT/dist/kestro32-0.4.0.zip over the kept one.
set -euo pipefail
rebuild=0
[ "${1:-}" = --rebuild ] && { rebuild=1; shift; }
source=${1:?usage: previous-release.sh [--rebuild] SOURCE OUT} out=${2:?usage: previous-release.sh [--rebuild] SOURCE OUT}
commit=8de5613
kept="$source/tests/inputs/release-0.4.0/kestro32-0.4.0.zip"
pkg="$out/dist/kestro32-0.4.0"
if [ -f "$pkg/x86/kestro32.dll" ] && [ -f "$pkg/x64/kestro32.dll" ] && [ $rebuild = 0 ]; then
  echo "$pkg"
  exit 0
fi
rm -rf "$out"
mkdir -p "$out/dist"
if [ $rebuild = 0 ]; then
  unzip -q "$kept" -d "$out/dist" || { echo "previous-release.sh: cannot unpack $kept" >&2; exit 1; }
else
  mkdir -p "$out/tree"
  git -C "$source" archive "$commit" | tar -x -C "$out/tree"
  for flavour in i686 x86_64; do
    (cd "$out/tree" && cmake --preset "$flavour" >/dev/null &&
      nice cmake --build --preset "$flavour" -j"$(nproc)" --target kestro32 kestro-host >/dev/null) ||
      { echo "previous-release.sh: building $commit ($flavour) failed" >&2; exit 1; }
  done
  "$out/tree/scripts/package.sh" "$out/dist" >/dev/null
fi
[ -f "$pkg/x86/kestro32.dll" ] && [ -f "$pkg/x64/kestro32.dll" ] ||
  { echo "previous-release.sh: no package in $pkg" >&2; exit 1; }
echo "$pkg"
