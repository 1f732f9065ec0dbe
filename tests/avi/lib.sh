# Shared by the shell-level AVI tests: run the host program of a build under its Wine prefix, in a
# scratch folder that every prefix reaches through drive Z:.
set -euo pipefail
: "${KESTRO_BUILD:?}" "${KESTRO_HOST:?}"
# The loader a build's programs need, called by name (Debian's `wine` tries the 32-bit one first).
loader_of() { case "$1" in *i686*) echo /usr/lib/wine/wine ;; *) echo /usr/lib/wine/wine64 ;; esac; }
can_run() { "$(loader_of "$1")" --version >/dev/null 2>&1; }
if ! can_run "$KESTRO_BUILD"; then
  echo "SKIP: this system cannot start $(loader_of "$KESTRO_BUILD"): no 32-bit programs run here"
  exit 77
fi
scratch=$(mktemp -d /dev/shm/kestro-avitest.XXXXXX)
win=$(printf 'Z:%s' "$scratch" | tr / '\\')
ini="$KESTRO_BUILD/wineprefix/drive_c/windows/system32/kestdisk.ini"
saved_ini=
[ -f "$ini" ] && saved_ini=$(cat "$ini")
cleanup() {
  # The codec writes its settings back at unload: leave the prefix's file as it was found.
  if [ -n "$saved_ini" ]; then printf '%s' "$saved_ini" >"$ini"; else rm -f "$ini"; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
# A capture that the codec refuses would also wait in the codec's message box on the test
# display; kestro-host says the reason itself.
if [ -f "$ini" ] && grep -q '^quiet=' "$ini"; then sed -i 's/^quiet=.*/quiet=1\r/' "$ini"
elif [ -f "$ini" ] && grep -q '^\[general\]' "$ini"; then sed -i 's/^\[general\].*/[general]\r\nquiet=1\r/' "$ini"
elif [ -d "$(dirname "$ini")" ]; then printf '[general]\r\nquiet=1\r\n' >"$ini"; fi
# Stripes that a test of the sheet left in the settings would spread these scripts' takes over
# folders of its own: a script that stripes sets them itself.
[ -f "$ini" ] && sed -i '/^stripe[123]=/d' "$ini"

host() { "$KESTRO_BUILD/wine-run" "$KESTRO_HOST" "$@"; }
# Runs a host of another build folder (its own prefix and codec); a folder without its own
# wine-run is a private one (see cross_arch_playback.sh), run through run_private.
host_of() {
  local build=$1; shift
  if [ -x "$build/wine-run" ]; then "$build/wine-run" "$build/tools/kestro-host.exe" "$@"
  else run_private "$build/tools/kestro-host.exe" "$@"; fi
}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }
# grep -q for a program's output: it reads to the end, so that the program never writes into a pipe
# that grep closed (where Wine has ended a program in ld.so, and pipefail then fails the line).
has() { grep "$@" >/dev/null; }
expect_rc() { # expected-code description command...
  local want=$1 what=$2 rc=0; shift 2
  "$@" >"$scratch/out" 2>"$scratch/err" || rc=$?
  [ "$rc" = "$want" ] || { cat "$scratch/err" >&2; fail "$what: exit $rc, expected $want"; }
}
expect_err() { grep -q -- "$1" "$scratch/err" || { cat "$scratch/err" >&2; fail "message \"$1\" missing"; }; }
