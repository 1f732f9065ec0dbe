#!/bin/bash
# Runs a Windows program under Wine in the prefix of one build directory. The prefix is made on
# first use, the freshly built codec DLLs are placed in its system32 and registered as "vidc.KEST"
# (and the test-only codec as "vidc.KTST"), and drive T: is mapped onto a tmpfs folder for fast I/O.
# Environment: KESTRO_BUILD_DIR, KESTRO_ARCH (i686 or x86_64).
set -euo pipefail
build=${KESTRO_BUILD_DIR:?}
arch=${KESTRO_ARCH:?}
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=${WINEDEBUG:--all}
# No browser engine or .NET here: never let Wine offer to download one. No debugger either: a
# program that faults ends at once with its fault reported, instead of waiting in winedbg.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mshtml=;mscoree=;winedbg.exe=d}
# A 64-bit prefix keeps 32-bit programs' keys apart: write the 64-bit view explicitly.
if [ "$arch" = i686 ]; then export WINEARCH=win32; view=; else export WINEARCH=win64; view=/reg:64; fi
# Debian's `wine` starts the 32-bit loader first, even for 64-bit programs. Some kernels run no
# 32-bit programs at all (no IA-32 emulation): there the 64-bit loader must be called by name,
# and a 32-bit build has nothing to run on, which its tests report as skipped (exit 77).
if [ "$arch" = i686 ]; then
  wine=${KESTRO_WINE32:-/usr/lib/wine/wine}
  if ! "$wine" --version >/dev/null 2>&1; then
    echo "wine-run: this system cannot start 32-bit programs; the i686 build's tests are skipped" >&2
    exit 77
  fi
else
  wine=${KESTRO_WINE64:-/usr/lib/wine/wine64}
  export WINELOADER=$wine
fi
sys="$WINEPREFIX/drive_c/windows/system32"
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
fonts='HKCU\Software\Wine\Fonts\Replacements'
shm="/dev/shm/kestro-$(printf %s "$build" | md5sum | cut -c1-12)"

install_file() { # copy by rename so a running process keeps its mapped image
  [ -f "$1" ] || return 0
  if ! cmp -s "$1" "$sys/$(basename "$1")"; then
    cp -f "$1" "$sys/.$(basename "$1").tmp" && mv -f "$sys/.$(basename "$1").tmp" "$sys/$(basename "$1")"
  fi
}

(
  flock 9
  if [ ! -f "$WINEPREFIX/.kestro-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    "$wine" reg add "$key" /v vidc.KEST /t REG_SZ /d kestro32.dll /f $view >/dev/null 2>&1
    "$wine" reg add "$key" /v vidc.KTST /t REG_SZ /d kesttest.dll /f $view >/dev/null 2>&1
    for f in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma"; do
      "$wine" reg add "$fonts" /v "$f" /t REG_SZ /d "Noto Sans CJK JP" /f >/dev/null 2>&1
    done
    wineserver -w
    touch "$WINEPREFIX/.kestro-ready"
  fi
  mkdir -p "$shm"
  ln -sfn "$shm" "$WINEPREFIX/dosdevices/t:"
  install_file "$build/kestro32.dll"
  install_file "$build/tests/kesttest.dll"
) 9>"$build/.wineprefix.lock"

exec "$wine" "$@"
