#!/bin/sh
# Builds the release files twice, in two build directories, and checks that
# they are the same byte for byte and that SHA256SUMS lists each. Then shows
# that the comparison would notice: the second .deb and .zip packaged again
# with another time stamp, and one byte of the second exe changed, must differ.
# Usage: tests/check_reproducible.sh
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check_reproducible: $*" >&2; exit 1; }
version=$(sed -n 's/^set(KV2PELMO_VERSION "\(.*\)")$/\1/p' "$top/CMakeLists.txt")
"$top/tools/release" "$work/a" "$work/build-a" >/dev/null 2>&1 || fail "the first build failed"
"$top/tools/release" "$work/b" "$work/build-b" >/dev/null 2>&1 || fail "the second build failed"

# Prints the names of the release files of $1 that differ from those of $2.
differing() {
  for file in "$1"/*; do
    cmp -s "$file" "$2/$(basename "$file")" || basename "$file"
  done
}
[ -z "$(differing "$work/a" "$work/b")" ] ||
  fail "two builds of one commit differ in: $(differing "$work/a" "$work/b" | tr '\n' ' ')"
for file in "$work"/a/kv2pelmo*; do
  grep -q " $(basename "$file")\$" "$work/a/SHA256SUMS" || fail "SHA256SUMS lacks $(basename "$file")"
done
(cd "$work/a" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"

# The check itself: a deliberate time stamp, and a byte changed.
epoch=$(( $(git -C "$top" log -1 --format=%ct) + 86400 ))
(cd "$work/build-b/default" && SOURCE_DATE_EPOCH=$epoch cpack -G DEB >/dev/null 2>&1)
(cd "$work/build-b/win32" && SOURCE_DATE_EPOCH=$epoch cpack -G ZIP >/dev/null 2>&1)
cp "$work"/build-b/default/*.deb "$work"/build-b/win32/*.zip "$work/b/"
printf '\001' | dd of="$work/b/kv2pelmo.exe" bs=1 seek=4096 conv=notrunc status=none
found=$(differing "$work/a" "$work/b" | grep -v SHA256SUMS | LC_ALL=C sort | tr '\n' ' ')
[ "$found" = "kv2pelmo-$version-win32.zip kv2pelmo.exe kv2pelmo_${version}_amd64.deb " ] ||
  fail "the comparison missed a deliberate difference; it found: $found"
echo "check_reproducible: two builds give the same $(ls "$work/a" | tr '\n' ' ')and a changed time stamp or byte is found"
