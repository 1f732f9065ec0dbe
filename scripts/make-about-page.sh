#!/bin/bash
# Encodes the about page (resource 1024) as Shift_JIS: the resource compiler copies its bytes.
set -euo pipefail
dir="$(dirname "$0")/../src/resources"
iconv -f UTF-8 -t SHIFT_JIS "$dir/about-utf8.htm" >"$dir/about.htm"
iconv -f SHIFT_JIS -t UTF-8 "$dir/about.htm" | cmp - "$dir/about-utf8.htm"
