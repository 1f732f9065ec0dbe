#!/bin/sh
# The take files of the hostile list that a Windows program cannot make: a FIFO and a symbolic
# link to /dev/zero, each as kestro.take in a folder of its own, for the host program's and the
# codec's tests under Wine to lay pieces beside. (Wine shows a Windows program no dangling link at
# all, so that row is the native tool's only.)
# Usage: hostile_takes.sh <build dir> setup|cleanup
root=$1/hostile-takes
case $2 in
setup)
  rm -rf "$root"
  mkdir -p "$root/fifo" "$root/zero"
  mkfifo "$root/fifo/kestro.take"
  ln -s /dev/zero "$root/zero/kestro.take"
  ;;
cleanup)
  rm -rf "$root"
  ;;
esac
exit 0
