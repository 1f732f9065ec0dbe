#!/bin/bash
# Installs what building and testing Kestro32 needs on Debian; does nothing when all is there.
set -euo pipefail
packages=(cmake make g++ git python3 g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
  mingw-w64-tools wine wine32:i386 wine64 xvfb xauth fonts-noto-cjk googletest imagemagick
  ffmpeg libyuv-dev gnuplot-nox libavformat-dev libavcodec-dev libavutil-dev pkg-config
  clang libclang-rt-14-dev)
sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -q
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi
