#!/bin/bash
# Runs a Windows program under Wine in the prefix of one build directory. The prefix is made on
# first use, the freshly built codec DLLs are placed in its system32 and registered as "vidc.KEST"
# (and the test-only codec as "vidc.KTST"), and drive T: is mapped onto a tmpfs folder for fast I/O.
# Environment: KESTRO_BUILD_DIR, KESTRO_ARCH (i686 or x86_64).
# Whatever fails says so on standard error: the step of the set-up (with its line and command),
# or the program's end when Wine's own messages are silenced (a library it needs missing, a
# fault, a signal), so that a test never ends with an exit code and no word.
set -Eeuo pipefail
step="reading the environment"
trap 'echo "wine-run: $step failed (line $LINENO: $BASH_COMMAND, exit $?)" >&2' ERR
build=${KESTRO_BUILD_DIR:?}
arch=${KESTRO_ARCH:?}
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=${WINEDEBUG:--all}
# No browser engine or .NET here: never let Wine offer to download one. No debugger either: a
# program that faults ends at once with its fault reported, instead of waiting in winedbg.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mshtml=;mscoree=;winedbg.exe=d}
# A 64-bit prefix keeps 32-bit programs' keys apart: write the 64-bit view explicitly.
if [ "$arch" = i686 ]; then export WINEARCH=win32; view=; else export WINEARCH=win64; view=/reg:64; fi
# 32-bit programs start by themselves, or through qemu in a namespace of this run's own
# (scripts/i386.sh), which this script re-enters once; a 64-bit Wine process may start 32-bit
# ones too (a 64-bit prefix's first boot, programs in SysWOW64), so both builds go through it.
i386="$(dirname "$(readlink -f "$0")")/i386.sh"
if [ -z "${KESTRO_I386_READY:-}" ] &&
  ! { [ "${KESTRO_I386:-}" != qemu ] && "${KESTRO_WINE32:-/usr/lib/wine/wine}" --version >/dev/null 2>&1; }; then
  trap - ERR
  exec "$i386" run "$0" "$@"
fi
# Without any way to start them (a local run with KESTRO_ALLOW_NO_I686=1) the 32-bit build's
# programs skip; a 64-bit one runs what it can.
if [ "${KESTRO_I386_READY:-}" = none ] && [ "$arch" = i686 ]; then
  echo "wine-run: this system cannot start 32-bit programs; skipped (KESTRO_ALLOW_NO_I686=1)" >&2
  exit 77
fi
if [ "$arch" = i686 ]; then
  wine=${KESTRO_WINE32:-/usr/lib/wine/wine}
else
  # Debian's `wine` starts the 32-bit loader first, even for 64-bit programs: call the 64-bit
  # loader by name.
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

reg_add() { # key name value: a failure shows what reg said
  local out
  out=$("$wine" reg add "$1" /v "$2" /t REG_SZ /d "$3" /f $view 2>&1) || {
    echo "$out" | tr -d '\r' >&2
    return 1
  }
}

step="taking the prefix lock $build/.wineprefix.lock"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.kestro-ready" ]; then
    step="making the prefix $WINEPREFIX (wineboot)"
    rm -rf "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    [ -d "$sys" ] || { echo "wine-run: wineboot made no $sys" >&2; exit 1; }
    step="registering the codecs in $WINEPREFIX"
    reg_add "$key" vidc.KEST kestro32.dll
    reg_add "$key" vidc.KTST kesttest.dll
    for f in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma"; do
      reg_add "$fonts" "$f" "Noto Sans CJK JP"
    done
    wineserver -w
    touch "$WINEPREFIX/.kestro-ready"
  fi
  step="mapping drive T: onto $shm"
  mkdir -p "$shm"
  ln -sfn "$shm" "$WINEPREFIX/dosdevices/t:"
  step="placing the built codecs in $sys"
  install_file "$build/kestro32.dll"
  install_file "$build/tests/kesttest.dll"
) 9>"$build/.wineprefix.lock"
trap - ERR

# The program runs as a child, not by exec, so that its end can be named; signals reach it. A
# background child of a shell without job control reads /dev/null unless told otherwise: hand it
# this script's standard input, which may be a pipe of frames.
started=$(date +%s.%N)
exec 3<&0
"$wine" "$@" <&3 3<&- &
exec 3<&-
pid=$!
# Each signal goes on as itself: a Ctrl-C must stay a Ctrl-C for the program's console handler.
for sig in TERM INT HUP; do trap "kill -$sig \$pid 2>/dev/null" $sig; done
rc=0
while :; do
  wait $pid && rc=0 || rc=$?
  kill -0 $pid 2>/dev/null || break # a trapped signal interrupts wait; the program goes on
done
trap - TERM INT HUP
case $rc in
# Success, a test's failure (it has said why), a skip, and the tools' own documented exit codes
# (bad usage, codec refusing, output or capture ended early, interrupted): each has said why.
0 | 1 | 2 | 3 | 4 | 77 | 130) ;;
*)
  why=
  case $rc in
  5) why="an access violation (0xC0000005)" ;;
  53) why="a library it needs was not found (0xC0000135)" ;;
  66) why="a library's entry point was not found (0xC0000139)" ;;
  123) why="a library of the wrong architecture (0xC000007B)" ;;
  253) why="a stack overflow (0xC00000FD)" ;;
  *) [ $rc -gt 128 ] && why="signal $((rc - 128))" ;;
  esac
  printf 'wine-run: %s ended with exit code %d%s after %.2f s (WINEDEBUG=%s)\n' "$1" "$rc" \
    "${why:+, $why,}" "$(echo "$(date +%s.%N) - $started" | bc)" "$WINEDEBUG" >&2
  ;;
esac
exit $rc
