#!/bin/sh
# Checks under wine that an image made on one volume is copied whole onto
# another, also over an older output: the current directory is a tmpfs of its
# own, the input and the output lie elsewhere, reached through Z:.
# Usage: tests/windows_across_volumes.sh WINE-RUN BITS EXE INPUT
set -eu
absolute() { (cd "$(dirname "$1")" && printf '%s/%s\n' "$(pwd)" "$(basename "$1")"); }
wine_run=$(absolute "$1") bits=$2 exe=$(absolute "$3") input=$(absolute "$4")
[ "$(id -u)" -eq 0 ] || { echo "skipped: mounting a tmpfs needs root"; exit 77; }
work=$(mktemp -d)
mkdir "$work/cwd" "$work/out"
mount -t tmpfs -o size=8m tmpfs "$work/cwd" 2>/dev/null ||
  { rm -rf "$work"; echo "skipped: no tmpfs can be mounted here"; exit 77; }
trap 'umount "$work/cwd"; rm -rf "$work"' EXIT
fail() { printf "windows_across_volumes: %s\n" "$*"; exit 1; }
cp "$input" "$work/out/fw.480"
# The image converted in its own directory, with no copy, is the one to expect.
(cd "$work/out" && "$wine_run" "$bits" "$exe" fw.480 >/dev/null) || fail "the plain run failed"
mv "$work/out/fw_MCU_00200000.fls" "$work/expected.fls"
windows=$(printf 'Z:%s' "$work/out/fw.480" | tr / '\\')
for older in none older; do
  [ "$older" = none ] || printf 'older' >"$work/out/fw_MCU_00200000.fls"
  (cd "$work/cwd" && "$wine_run" "$bits" "$exe" "$windows" >"$work/out.txt") ||
    fail "the run across volumes failed: $(cat "$work/out.txt")"
  grep -qF "Output written to: ${windows%.480}_MCU_00200000.fls" "$work/out.txt" ||
    fail "it reported otherwise: $(cat "$work/out.txt")"
  cmp "$work/expected.fls" "$work/out/fw_MCU_00200000.fls" || fail "the copy is not the image ($older)"
  [ -z "$(ls -A "$work/cwd")" ] || fail "it left $(ls -A "$work/cwd") behind"
  [ "$(ls -A "$work/out")" = "fw.480
fw_MCU_00200000.fls" ] || fail "the output directory holds $(ls -A "$work/out")"
done
echo "windows_across_volumes: copied whole across volumes, and over an older output"
