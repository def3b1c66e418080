#!/bin/sh
# Checks under wine that the Windows program flushes its image to the disk
# before it renames it through its handle, from wine's trace of its calls.
# Usage: tests/windows_flush_order.sh WINE-RUN BITS EXE INPUT
set -eu
absolute() { (cd "$(dirname "$1")" && printf '%s/%s\n' "$(pwd)" "$(basename "$1")"); }
wine_run=$(absolute "$1") bits=$2 exe=$(absolute "$3") input=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$input" "$work/fw.480"
(cd "$work" && WINEDEBUG=+relay "$wine_run" "$bits" "$exe" fw.480 >out.txt 2>relay.log)
grep -q 'Output written to: fw_MCU_' "$work/out.txt" || { cat "$work/out.txt"; exit 1; }
# The converter's thread is the one that creates the image for writing.
thread=$(grep -m1 'CreateFileW([0-9a-f]* L"tempdct3.tmp",c' "$work/relay.log" | cut -d: -f1)
calls=$(grep "^$thread:Call [A-Za-z0-9]*\.\(FlushFileBuffers\|SetFileInformationByHandle\)(" \
  "$work/relay.log" | sed 's/^[^.]*\.\([A-Za-z]*\)(\([0-9a-f]*\),\{0,1\}\([0-9a-f]*\).*/\1 \2 \3/')
expected_handle=$(printf '%s\n' "$calls" | sed -n '1s/^FlushFileBuffers \([0-9a-f]*\) $/\1/p')
[ -n "$expected_handle" ] || { echo "no flush before anything else: $calls"; exit 1; }
printf '%s\n' "$calls" | sed -n 2p | grep -qx "SetFileInformationByHandle $expected_handle 00000003" ||
  { echo "the image is not renamed through its handle right after its flush: $calls"; exit 1; }
echo "windows_flush_order: the image is flushed, then renamed through handle $expected_handle"
