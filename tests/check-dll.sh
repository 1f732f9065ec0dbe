#!/bin/bash
# The shipped library exports exactly DriverProc and imports only Windows system libraries
# (the C++ runtime is linked in).
set -euo pipefail
dll=${1:?dll}
objdump=${2:?objdump}
dump=$("$objdump" -p "$dll")
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/^[[:space:]]*\[/{print $NF} f&&/^$/{exit}' <<<"$dump")
imports=$(awk '/DLL Name:/{print tolower($3)}' <<<"$dump" | sort -u)
status=0
if [ "$exports" != "DriverProc" ]; then
  echo "exports are not exactly DriverProc: $exports"; status=1
fi
system='^(kernel32|user32|gdi32|advapi32|comctl32|comdlg32|shell32|shlwapi|ole32|oleaut32|msvfw32|avifil32|winmm|msvcrt|version)\.dll$'
foreign=$(grep -viE "$system" <<<"$imports" || true)
if [ -n "$foreign" ]; then
  echo "imports libraries that are not part of Windows: $foreign"; status=1
fi
echo "exports: $exports"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
exit $status
