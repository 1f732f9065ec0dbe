#!/bin/bash
# Installs what building and testing Kestro32 needs on Debian; does nothing when all is there.
set -euo pipefail
packages=(cmake make g++ git python3 g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
  mingw-w64-tools wine wine32:i386 wine64 xvfb xauth fonts-noto-cjk googletest imagemagick
  ffmpeg libyuv-dev gnuplot-nox libavformat-dev libavcodec-dev libavutil-dev pkg-config
  clang libclang-rt-14-dev wixl msitools unzip)
sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  # A mirror caught mid-sync fails the update now and then; try again, then go on with the lists
  # that did arrive (the install says so if a package really cannot be had).
  for try in 1 2 3 4; do
    $sudo apt-get update -q && break
    echo "setup: apt-get update failed (try $try), again in $((try * 10)) s"
    sleep $((try * 10))
  done
  install() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"; }
  if ! install "${missing[@]}"; then
    # The 32-bit Wine needs the i386 lists of every suite to agree with the amd64 ones; while a
    # mirror serves half a sync it cannot be installed. Everything else still can: then the
    # 32-bit build's tests cannot run (scripts/test.sh says so) instead of nothing running.
    native=()
    for p in "${missing[@]}"; do [[ $p == *:i386 ]] || native+=("$p"); done
    [ ${#native[@]} -eq ${#missing[@]} ] && exit 1
    install "${native[@]}" || exit 1
    echo "setup: WARNING: the i386 packages could not be installed; the 32-bit build's tests" \
      "cannot run (run scripts/setup.sh again later)" >&2
  fi
fi
# Where the kernel starts no 32-bit program, the emulator that Wine's 32-bit loader runs under
# (without it scripts/test.sh stops and says why; the demo needs none).
"$(dirname "$0")/i386.sh" provide || true
