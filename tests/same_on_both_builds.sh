#!/bin/sh
# Converts the example pair with the Linux and a Windows build and checks
# that both print the same text (the console's CRLF aside) and write the same bytes.
# Usage: tests/same_on_both_builds.sh [win32|win64]   (default win32)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-win32}
case $preset in
  win32) bits=32 ;;
  win64) bits=64 ;;
  *) echo "same_on_both_builds: no Windows build $preset" >&2; exit 2 ;;
esac
linux=$top/build/default/kv2pelmo
windows=$top/build/$preset/kv2pelmo.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for side in linux windows; do
  mkdir "$work/$side"
  cp "$top/examples/npm5nx03.480" "$top/examples/npm5nx03.48g" "$work/$side/"
done
(cd "$work/linux" && "$linux" npm5nx03.480 npm5nx03.48g > out.txt; echo "$?" > status.txt)
(cd "$work/windows" && "$top/cmake/wine-run" "$bits" "$windows" npm5nx03.480 npm5nx03.48g > crlf.txt
 echo "$?" > status.txt; tr -d '\r' < crlf.txt > out.txt)
for file in out.txt status.txt npm5nx03_MCU_00200000.fls; do
  cmp "$work/linux/$file" "$work/windows/$file"
done
echo "Linux and $preset builds agree: $(grep Output "$work/linux/out.txt")"
