#!/bin/sh
# Checks under wine what the Windows program does with standard output as a
# Linux shell redirects it: onto tempdct3.tmp it refuses to write the image
# over it; closed, it does nothing at all, as the Linux build does.
# Usage: tests/windows_redirections.sh WINE-RUN BITS EXE INPUT
set -eu
absolute() { (cd "$(dirname "$1")" && printf '%s/%s\n' "$(pwd)" "$(basename "$1")"); }
wine_run=$(absolute "$1") bits=$2 exe=$(absolute "$3") input=$4
top=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^set(KV2PELMO_VERSION "\(.*\)")$/\1/p' "$top/CMakeLists.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { printf 'windows_redirections: %s\n' "$*"; exit 1; }
cp "$input" "$work/fw.480"
cd "$work"
: >tempdct3.tmp
status=0
"$wine_run" "$bits" "$exe" fw.480 >tempdct3.tmp || status=$?
[ "$status" -eq 2 ] || fail "onto tempdct3.tmp: status $status"
printf 'Kovrel to Pelmo Converter %s by Quelm\r\n\r\nError: Cannot create file tempdct3.tmp.\r\n\r\n' \
  "$version" >expected
cmp -s tempdct3.tmp expected || fail "onto tempdct3.tmp it holds: $(od -c tempdct3.tmp | head -3)"
[ ! -e fw_MCU_00200000.fls ] || fail "onto tempdct3.tmp an image was named"
rm tempdct3.tmp
status=0
"$wine_run" "$bits" "$exe" fw.480 >&- 2>err.txt || status=$?
[ "$status" -eq 2 ] || fail "closed: status $status"
grep -q '^kv2pelmo: standard output is closed; nothing was done' err.txt || fail "closed: it said $(cat err.txt)"
[ "$(ls)" = "err.txt
expected
fw.480" ] || fail "closed: it left $(ls)"
echo "windows_redirections: onto tempdct3.tmp it is refused; closed, nothing is done"
