#!/bin/sh
# Checks the shipped Windows program: a 32-bit (PE32, i386) console program
# for Windows Vista (6.0) and later that imports nothing but DLLs every
# Windows has, and of them only the functions tests/windows_exe_imports.txt
# lists, with a version resource and a manifest that asks for the UTF-8 code page.
# Usage: tests/check_windows_exe.sh [EXE]   (default build/win32/kv2pelmo.exe)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:-$top/build/win32/kv2pelmo.exe}
fail() { echo "check_windows_exe: $exe: $*" >&2; exit 1; }
[ -f "$exe" ] || fail "missing"
headers=$(i686-w64-mingw32-objdump -p "$exe" 2>&1) || fail "not a 32-bit Windows program"
printf '%s\n' "$headers" | grep -q 'file format pei-i386' || fail "not built for i386"
printf '%s\n' "$headers" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' || fail "not PE32"
printf '%s\n' "$headers" | grep -Eq '^Subsystem[[:space:]]+00000003[[:space:]]+\(Windows CUI\)' ||
  fail "not a console program"
# The oldest Windows it runs on, in the header, so that an older one refuses it at once.
for field in MajorOSystemVersion:6 MinorOSystemVersion:0 MajorSubsystemVersion:6 \
  MinorSubsystemVersion:0; do
  printf '%s\n' "$headers" | grep -Eq "^${field%%:*}[[:space:]]+${field#*:}\$" ||
    fail "its header does not say ${field%%:*} ${field#*:} (Windows Vista)"
done
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$dlls" ] || fail "imports no DLL at all"
for dll in $dlls; do
  case $dll in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll) ;;
    *) fail "imports $dll, which Windows does not ship" ;;
  esac
done
# Each imported function, as "dll function": exactly the list, so that none comes unnoticed.
imports=$(mktemp)
trap 'rm -f "$imports"' EXIT
printf '%s\n' "$headers" | awk '/DLL Name:/ { dll = tolower($3); next }
  /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $NF }' | LC_ALL=C sort >"$imports"
changes=$(grep -v '^#' "$top/tests/windows_exe_imports.txt" | diff - "$imports" |
  sed -n 's/^< /listed but not imported: /p; s/^> /imported but not listed: /p')
[ -z "$changes" ] || fail "its imports differ from tests/windows_exe_imports.txt:
$changes"
# The version resource, as Explorer's Properties show it: the strings are UTF-16.
version=$(sed -n 's/^set(KV2PELMO_VERSION "\(.*\)")$/\1/p' "$top/CMakeLists.txt")
resource=$(strings -e l "$exe")
for field in ProductName:kv2pelmo "ProductVersion:$version" "FileVersion:$version" \
  OriginalFilename:kv2pelmo.exe FileDescription:Converts "LegalCopyright:Copyright"; do
  printf '%s\n' "$resource" | grep -A1 -x "${field%%:*}" | sed -n 2p | grep -q "^${field#*:}" ||
    fail "its version resource lacks ${field%%:*} ${field#*:}"
done
# The manifest: names arrive as typed only with the UTF-8 code page.
strings -n 8 "$exe" | grep -q '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>' ||
  fail "its manifest does not ask for the UTF-8 code page"
echo "check_windows_exe: $(basename "$exe") is a PE32 i386 console program for Windows 6.0 and later," \
  "importing only the $(wc -l <"$imports") listed functions of" $dlls
echo "check_windows_exe: its manifest asks for the UTF-8 code page; its version resource says kv2pelmo $version:" \
  "$(printf '%s\n' "$resource" | grep -A1 -x FileDescription | sed -n 2p)"
