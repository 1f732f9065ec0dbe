#!/bin/bash
# The package of the previous release, 0.4.0 (commit 8de5613), made from the repository's own
# history: that commit's source built for both Windows flavours (the codec and kestro-host only)
# and packaged by that commit's package.sh. Built once into OUT and kept there for later runs.
# usage: previous-release.sh SOURCE OUT   prints the package folder (OUT/dist/kestro32-0.4.0)
set -euo pipefail
source=${1:?usage: previous-release.sh SOURCE OUT} out=${2:?usage: previous-release.sh SOURCE OUT}
commit=8de5613
pkg="$out/dist/kestro32-0.4.0"
if [ -f "$pkg/x86/kestro32.dll" ] && [ -f "$pkg/x64/kestro32.dll" ]; then
  echo "$pkg"
  exit 0
fi
rm -rf "$out"
mkdir -p "$out/tree"
git -C "$source" archive "$commit" | tar -x -C "$out/tree"
for flavour in i686 x86_64; do
  (cd "$out/tree" && cmake --preset "$flavour" >/dev/null &&
    nice cmake --build --preset "$flavour" -j"$(nproc)" --target kestro32 kestro-host >/dev/null) ||
    { echo "previous-release.sh: building $commit ($flavour) failed" >&2; exit 1; }
done
"$out/tree/scripts/package.sh" "$out/dist" >/dev/null
[ -f "$pkg/x86/kestro32.dll" ] && [ -f "$pkg/x64/kestro32.dll" ] ||
  { echo "previous-release.sh: $commit's package.sh made no $pkg" >&2; exit 1; }
echo "$pkg"
