#!/bin/sh
# Builds the release packages from the default and win32 builds and checks
# them: contents, version, Depends, lintian, CRLF guide, a lint-clean manual page, and
# that the program unpacked from the .deb converts the example pair correctly.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check_packages: $*" >&2; exit 1; }
version=$(sed -n 's/^set(KV2PELMO_VERSION "\(.*\)")$/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"

# The manual page: no warnings, every section.
page=$top/build/default/kv2pelmo.1
[ -z "$(groff -man -ww -z "$page" 2>&1)" ] || fail "groff warns about the manual page"
mandoc -T lint -W warning "$page" || fail "mandoc warns about the manual page"
rendered=$(MANWIDTH=100 man -l "$page" 2>/dev/null | col -b)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" FILES DIAGNOSTICS EXAMPLES; do
  printf '%s\n' "$rendered" | grep -qx "$section" || fail "manual page lacks $section"
done

# cmake --install lays out the program, its page and its docs.
cmake --install "$top/build/default" --prefix "$work/prefix" >/dev/null
for file in bin/kv2pelmo share/man/man1/kv2pelmo.1.gz share/doc/kv2pelmo/README.md \
  share/doc/kv2pelmo/copyright share/doc/kv2pelmo/changelog.gz; do
  [ -f "$work/prefix/$file" ] || fail "cmake --install lacks $file"
done

# The .deb: name, contents, Depends, and a working program.
(cd "$top/build/default" && cpack -G DEB >/dev/null 2>&1) || fail "cpack -G DEB failed"
deb=$top/build/default/kv2pelmo_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb"
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/kv2pelmo ./usr/share/man/man1/kv2pelmo.1.gz ./usr/share/doc/kv2pelmo/README.md \
  ./usr/share/doc/kv2pelmo/copyright ./usr/share/doc/kv2pelmo/changelog.gz; do
  printf '%s\n' "$contents" | grep -q " $file\$" || fail ".deb lacks $file"
done
dpkg-deb -f "$deb" Depends | grep -q '^libc6 (>= ' || fail ".deb Depends is not libc6"
# Debian's own checker: no error and no warning. (As root it says so; that is no finding.)
findings=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges') || true
[ -z "$findings" ] || fail "lintian: $findings"
dpkg -x "$deb" "$work/root"
# The README it carries is the one for users: what it does and what its messages mean,
# short enough to read through (it shows every message, Windows' too).
cmp -s "$work/root/usr/share/doc/kv2pelmo/README.md" "$top/README.md" &&
  grep -q '^## When something goes wrong' "$top/README.md" &&
  [ "$(wc -l <"$top/README.md")" -le 185 ] || fail ".deb does not carry the users' README"
mkdir "$work/run"
cp "$top/examples/npm5nx03.480" "$top/examples/npm5nx03.48g" "$work/run/"
(cd "$work/run" && "$work/root/usr/bin/kv2pelmo" npm5nx03.480 npm5nx03.48g) > "$work/out.txt"
printf 'Kovrel to Pelmo Converter %s by Quelm\n\nOutput written to: npm5nx03_MCU_00200000.fls\n\n' \
  "$version" | cmp -s - "$work/out.txt" || fail "the unpacked program printed something else"
mkdir "$work/expected"
cp "$top/examples/npm5nx03.480" "$top/examples/npm5nx03.48g" "$work/expected/"
(cd "$work/expected" && "$top/build/default/kv2pelmo" npm5nx03.480 npm5nx03.48g >/dev/null)
cmp "$work/run/npm5nx03_MCU_00200000.fls" "$work/expected/npm5nx03_MCU_00200000.fls" ||
  fail "the unpacked program wrote another image"

# The .zip: the program and a CRLF guide.
(cd "$top/build/win32" && cpack -G ZIP >/dev/null 2>&1) || fail "cpack -G ZIP failed"
zip=$top/build/win32/kv2pelmo-${version}-win32.zip
[ -f "$zip" ] || fail "no $zip"
unzip -q "$zip" -d "$work/zip"
dir=$work/zip/kv2pelmo-${version}-win32
for file in kv2pelmo.exe README.txt LICENSE.txt; do
  [ -f "$dir/$file" ] || fail ".zip lacks $file"
done
[ "$(grep -c "$(printf '\r')\$" "$dir/README.txt")" -eq "$(wc -l < "$dir/README.txt")" ] ||
  fail "README.txt has lines without CRLF"
# It is the guide for Windows users: Explorer, no Unix prompts, no markup.
grep -q '^FROM EXPLORER' "$dir/README.txt" || fail "README.txt has no section on Explorer"
grep -q "kv2pelmo $version" "$dir/README.txt" || fail "README.txt does not name version $version"
! grep -q '^ *\$ ' "$dir/README.txt" || fail "README.txt has a Unix prompt"
! grep -q '^\.[A-Z][A-Z]* \|\\f[BIRP]' "$dir/README.txt" || fail "README.txt has manual-page markup"

echo "check_packages: $(basename "$deb") and $(basename "$zip") are complete; the unpacked program converts the example pair"
