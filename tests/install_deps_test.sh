#!/bin/sh
# Checks what tools/install-deps decides, with no network: stand-ins for
# apt-get, dpkg-query, dpkg and the 32-bit probe record what they are asked.
# Usage: tests/install_deps_test.sh
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
unset KV2PELMO_EMULATED_WIN32  # a case sets it; the others must not inherit it
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "install_deps_test: $case_name: $*"; failures=$((failures + 1)); }

# A machine in a directory: its tools/ (the script under test and a probe
# that answers $1), and a bin/ of stand-ins first on PATH.
# apt-get: update exits $2; install fails for the packages listed in $3.
machine() {
  m=$work/$case_name
  mkdir -p "$m/tools" "$m/bin"
  cp "$top/tools/install-deps" "$m/tools/"
  printf '#!/bin/sh\n[ %s = yes ] && exit 0\necho "Exec format error"; exit 1\n' "$1" >"$m/tools/runs-32-bit"
  : >"$m/installed"
  : >"$m/log"
  cat >"$m/bin/apt-get" <<EOF
#!/bin/sh
echo "apt-get \$*" >>"$m/log"
[ "\$1" = update ] && exit $2
for package in \$(echo "\$*" | tr ' ' '\n' | grep -v '^-'); do
  case " $3 " in *" \$package "*) echo "E: Unable to locate package \$package" >&2; exit 100 ;; esac
done
for package in \$(echo "\$*" | tr ' ' '\n' | grep -v '^-' | grep -v '^install\$'); do
  echo "\$package" >>"$m/installed"
done
EOF
  cat >"$m/bin/dpkg-query" <<EOF
#!/bin/sh
for last; do :; done
grep -qx "\$last" "$m/installed" && printf 'install ok installed' && exit 0
exit 1
EOF
  printf '#!/bin/sh\necho "dpkg $*" >>"%s/log"\n' "$m" >"$m/bin/dpkg"
  printf '#!/bin/sh\n' >"$m/bin/sleep"
  printf '#!/bin/sh\nexec "$@"\n' >"$m/bin/sudo"
  chmod +x "$m/tools/"* "$m/bin/"*
}
run() { PATH="$m/bin:$PATH" "$m/tools/install-deps" >"$m/out" 2>&1; }

case_name=no-32-bit-and-a-broken-index
machine no 100 ""
run || fail "failed: $(cat "$m/out")"
[ "$(grep -c '^apt-get update' "$m/log")" -eq 3 ] || fail "update was not tried three times"
grep -q '^apt-get install .*lintian' "$m/log" || fail "a failed update did not lead to install"
grep -E 'i386|wine32' "$m/log" && fail "asked for i386 where 32-bit programs do not run"
grep -q 'cannot run 32-bit programs (Exec format error)' "$m/out" || fail "did not say why no wine32"
grep -q '^apt-get install -y -q --no-install-recommends qemu-user-static$' "$m/log" ||
  fail "qemu-user-static not asked for alone, without recommends, to emulate 32-bit programs"

case_name=32-bit-but-wine32-will-not-install
machine yes 0 "wine32:i386"
run || fail "a missing wine32 failed the script: $(cat "$m/out")"
grep -q '^dpkg --add-architecture i386' "$m/log" || fail "no i386 architecture added"
grep -q '^apt-get install .*wine32:i386' "$m/log" || fail "wine32 not asked for"
grep -q '^wine32 could not be installed: E: Unable to locate package wine32:i386' "$m/out" ||
  fail "did not say why wine32 is missing"
grep -q '^apt-get install -y -q --no-install-recommends qemu-user-static$' "$m/log" ||
  fail "qemu-user-static not asked for to emulate the 32-bit program wine32 cannot run"

case_name=32-bit-and-wine32
machine yes 0 ""
run || fail "failed: $(cat "$m/out")"
grep -q '^apt-get install .*wine32:i386' "$m/log" || fail "wine32 not asked for"
grep -q 'qemu-user-static' "$m/log" && fail "asked for emulation where wine32 runs the 32-bit program"
(export KV2PELMO_EMULATED_WIN32=1 && run) || fail "failed with KV2PELMO_EMULATED_WIN32=1: $(cat "$m/out")"
grep -q '^apt-get install -y -q --no-install-recommends qemu-user-static$' "$m/log" ||
  fail "qemu-user-static not asked for where KV2PELMO_EMULATED_WIN32=1 asks for emulation"

case_name=a-needed-package-fails
machine no 0 "lintian"
run && fail "succeeded although lintian could not be installed"
grep -q 'could not be installed: lintian$' "$m/out" || fail "did not name lintian: $(cat "$m/out")"
grep -qx cmake "$m/installed" || fail "the others were not installed one by one"

case_name=all-there
machine yes 0 ""
run || fail "failed: $(cat "$m/out")"
asked=$(grep -c '^apt-get' "$m/log")
run || fail "failed the second time: $(cat "$m/out")"
[ "$(grep -c '^apt-get' "$m/log")" -eq "$asked" ] || fail "asked apt-get again when all was there"

[ "$failures" -eq 0 ] && echo "install_deps_test: all cases pass"
[ "$failures" -eq 0 ]
