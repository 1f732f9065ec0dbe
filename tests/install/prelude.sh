#!/bin/bash
# What the install tests share: the two builds found (or the test skipped), a scratch folder with
# a fresh Wine prefix that goes when the test ends, and the checks of a command's exit and words.
# Sourced with `made` naming what the test installs ("package", "installer").
set -euo pipefail
: "${KESTRO_BUILD:?}" "${KESTRO_OTHER_BUILD:?}" "${KESTRO_SOURCE:?}"
root=$KESTRO_SOURCE
w32=/usr/lib/wine/wine
w64=/usr/lib/wine/wine64
arch=$(grep -o "KESTRO_ARCH='[a-z0-9_]*'" "$KESTRO_BUILD/wine-run" | cut -d"'" -f2)
if [ "$arch" = i686 ]; then i686=$KESTRO_BUILD x86_64=$KESTRO_OTHER_BUILD; else i686=$KESTRO_OTHER_BUILD x86_64=$KESTRO_BUILD; fi
for b in "$i686" "$x86_64"; do
  if [ ! -f "$b/kestro32.dll" ] || [ ! -f "$b/tools/kestro-host.exe" ] || [ ! -f "$b/tests/test_installed.exe" ]; then
    echo "SKIP: the $made needs both builds; $b lacks kestro32.dll, tools/kestro-host.exe or tests/test_installed.exe (scripts/build.sh i686 and x86_64)"
    exit 77
  fi
done
can32=yes; "$w32" --version >/dev/null 2>&1 || can32=no
if [ "$arch" = i686 ] && [ $can32 = no ]; then
  echo "SKIP: this system cannot start 32-bit programs"; exit 77
fi

scratch=$(mktemp -d "$KESTRO_BUILD/tests/$made-scratch.XXXXXX")
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES='mshtml=;mscoree=;winedbg.exe=d'
cleanup() { wineserver -k 2>/dev/null || true; rm -rf "$scratch"; }
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }
win() { printf 'Z:%s' "$1" | tr / '\\'; }
expect_rc() { # code what command...
  local want=$1 what=$2 rc=0; shift 2
  "$@" >"$scratch/out" 2>"$scratch/err" || rc=$?
  [ "$rc" = "$want" ] || { cat "$scratch/out" "$scratch/err" >&2; fail "$what: exit $rc, expected $want"; }
}
expect_err() { grep -qF -- "$1" "$scratch/err" || { cat "$scratch/err" >&2; fail "message \"$1\" missing"; }; }
expect_out() { grep -qF -- "$1" "$scratch/out" || { cat "$scratch/out" >&2; fail "output \"$1\" missing"; }; }
with_env() { ( export "$1"; shift; "$@" ); } # NAME=VALUE command...: also for shell functions

# A `reg query` of a key, or of one value when `name` is given, in one registry view (ignored in a
# 32-bit prefix). Only "unable to find" means absent: a run that failed otherwise (a loaded
# machine now and then fails to start a Wine process) is tried again rather than read as absent.
reg_query() { # view key [name]
  local opt= try rc out said
  [ "$WINEARCH" = win64 ] && opt=/reg:$1
  for try in 1 2 3 4; do
    rc=0
    out=$("$regtool" reg query "$2" ${3:+/v "$3"} $opt 2>"$scratch/reg-err") || rc=$?
    said="$out $(cat "$scratch/reg-err")"
    if [ $rc = 0 ] || [[ ${said,,} == *"unable to find"* ]]; then
      [ $rc != 0 ] || printf '%s\n' "$out"
      return $rc
    fi
    sleep "$try"
  done
  cat "$scratch/reg-err" >&2
  fail "reg query $2 ${3:-}: exit $rc four times"
}
reg_value() { # view key name: "" when absent
  reg_query "$1" "$2" "$3" | tr -d '\r' | sed -nE "s/^ +$3 +REG_[A-Z_]+ +(.*)\$/\\1/p" || true
}
key_exists() { # view key
  reg_query "$1" "$2" >/dev/null
}
