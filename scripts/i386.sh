#!/bin/bash
# Makes 32-bit programs start, for Wine's 32-bit loader. Where the kernel starts them itself
# (IA-32 emulation on) nothing is needed. Where it does not, qemu's i386 user-mode emulator runs
# them: registered in a binfmt_misc of a private user and mount namespace (Linux 6.7 or later),
# so the machine's own binfmt_misc table is never touched and the emulator serves only the
# command's own process tree.
#   i386.sh mode          prints native, qemu or none
#   i386.sh provide       fetches the emulator when the kernel needs it (scripts/setup.sh)
#   i386.sh run CMD...    runs CMD where 32-bit programs start; where no way works, exits 1
#                         with a message, or with KESTRO_ALLOW_NO_I686=1 runs CMD without them
# KESTRO_I386=qemu takes the emulator even where the kernel would do (to test that way);
# KESTRO_QEMU_I386=FILE names another emulator.
# The emulator is qemu-user 10 from Debian's bookworm-backports (trixie's when that cannot be
# had): Debian 12's own qemu 7.2 maps memory where Wine forbids it ("failed to map the shared
# user data: c0000018"). Its static qemu-i386 is taken out of the package into build/tools, not
# installed: installing would bring qemu-user-binfmt, which registers itself machine-wide.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
loader32=${KESTRO_WINE32:-/usr/lib/wine/wine}
qemu=${KESTRO_QEMU_I386:-$root/build/tools/qemu-i386}
entry=kestro-i386

say() { echo "i386: $*" >&2; }

starts_natively() {
  [ "${KESTRO_I386:-}" != qemu ] && "$loader32" --version >/dev/null 2>&1
}

qemu_usable() {
  [ -x "$qemu" ] && "$qemu" --version >/dev/null 2>&1
}

mode() {
  if [ ! -x "$loader32" ]; then
    echo none
  elif starts_natively; then
    echo native
  elif qemu_usable && namespace_binfmt true >/dev/null 2>&1; then
    echo qemu
  else
    echo none
  fi
}

# Runs "$@" in a user and mount namespace of its own whose binfmt_misc sends i386 ELF programs
# to the emulator. F (fix binary) opens the emulator at registration, so that it is found from
# every mount namespace and chroot below.
namespace_binfmt() {
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  KESTRO_I386_READY=1 unshare --user --map-root-user --mount --fork --kill-child -- \
    /bin/sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
      printf "%s" "$1" >/proc/sys/fs/binfmt_misc/register && shift && exec "$@"' \
    sh ":$entry:M::$magic:$mask:$qemu:F" "$@"
}

# Takes qemu-i386 out of qemu-user of the first suite that has it, through a private apt state
# (signatures checked against Debian's keyring as for any package); nothing is installed.
provide() {
  [ -x "$loader32" ] || { say "no 32-bit Wine loader at $loader32 (wine32:i386)"; return 1; }
  starts_natively && return 0
  qemu_usable && return 0
  local work suite
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$(dirname "$qemu")"
  for suite in bookworm-backports trixie; do
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
      >"$work/sources.list"
    local apt=(-o "Dir::State=$work" -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
      -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
      -o APT::Architectures=amd64 -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
    say "fetching qemu-user from $suite for the 32-bit loader"
    if apt-get -q "${apt[@]}" update >/dev/null &&
      (cd "$work" && apt-get -q "${apt[@]}" download qemu-user >/dev/null) &&
      dpkg-deb -x "$work"/qemu-user_*.deb "$work/x" &&
      "$work/x/usr/bin/qemu-i386" --version >/dev/null; then
      cp "$work/x/usr/bin/qemu-i386" "$qemu.tmp" && mv -f "$qemu.tmp" "$qemu"
      say "$("$qemu" --version | head -1) in $qemu"
      return 0
    fi
    rm -rf "$work"/qemu-user_*.deb "$work/x"
  done
  say "no qemu-user could be fetched; the 32-bit build's tests cannot run here"
  return 1
}

run() {
  [ $# -gt 0 ] || { say "run: no command"; exit 2; }
  if [ -n "${KESTRO_I386_READY:-}" ] || starts_natively; then
    exec "$@"
  fi
  if qemu_usable && namespace_binfmt true 2>/dev/null; then
    namespace_binfmt "$@"
    exit $?
  fi
  say "this machine starts no 32-bit program (no IA-32 emulation in the kernel, no usable" \
    "qemu-i386 at $qemu: scripts/setup.sh fetches it; a private binfmt_misc needs Linux 6.7)"
  # A local run may go on without them: what is 64-bit runs, each 32-bit start skips itself.
  [ "${KESTRO_ALLOW_NO_I686:-}" = 1 ] || exit 1
  say "KESTRO_ALLOW_NO_I686=1: going on without 32-bit programs"
  KESTRO_I386_READY=none exec "$@"
}

case "${1:-}" in
mode) mode ;;
provide) provide ;;
run) shift && run "$@" ;;
*) echo "usage: i386.sh mode|provide|run CMD..." >&2; exit 2 ;;
esac
