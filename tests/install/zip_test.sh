#!/usr/bin/env bash
# Builds the Windows zip of a build tree with CPack and checks it as a
# Windows integrator would: the files are there, the module names itself in
# its version resource, a C host links with the header and the import
# library, and (given a loader for the build's programs) the demo runs from
# the zip unpacked into a folder whose name has spaces.
# usage: zip_test.sh BUILD_DIR C_COMPILER [EMULATOR...]
set -euo pipefail
build=$1
cc=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "zip test: $*" >&2; exit 1; }

if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack failed"
fi
zips=("$work"/out/*.zip)
if [ "${#zips[@]}" -ne 1 ] || [ ! -f "${zips[0]}" ]; then fail "expected one zip in $work/out"; fi
zip=${zips[0]}
top=$(basename "$zip" .zip)
unzip -Z1 "$zip" | sort >"$work/list"
for f in bin/ce_kestrel.dll bin/cehost.exe bin/kestrel.dll bin/kestrel-5/kestrel.dll \
         bin/kestrel-keys.exe include/ce_kestrel.h lib/libce_kestrel.dll.a lib/ce_kestrel.def \
         README.txt; do
  grep -qxF "$top/$f" "$work/list" || fail "$f is not in $(basename "$zip")"
done
# The provider is loaded at run time: no import library of it.
grep -q 'libkestrel' "$work/list" && fail "the zip holds the provider's import library"

dir="$work/folder with spaces"
mkdir -p "$dir"
unzip -q "$zip" -d "$dir"
root="$dir/$top"

# The version resource: each name followed by its value (UTF-16 strings).
strings -el "$root/bin/ce_kestrel.dll" >"$work/strings"
version=$(sed -n 's/^ce_kestrel \([0-9.]*\) for Windows.*/\1/p' "$root/README.txt" | tr -d '\r')
[ -n "$version" ] || fail "README.txt names no version"
while read -r name value; do
  awk -v n="$name" -v v="$value" 'prev == n && $0 ~ v { found = 1 } { prev = $0 }
    END { exit !found }' "$work/strings" || fail "version resource: no $name matching $value"
done <<TABLE
OriginalFilename ^ce_kestrel\\.dll\$
ProductName ^ce_kestrel\$
FileVersion ^${version//./\\.}\\.0\$
ProductVersion ^${version//./\\.}\\.0\$
FileDescription .
LegalCopyright ^Copyright
TABLE

# A C host linked with the import library resolves the stdcall exports.
cat >"$work/host.c" <<'C'
#include <ce_kestrel.h>
int main(void) {
  CE_HANDLE engine = GetCryptObj(0);
  const int params = GetCryptoParamNumber(engine);
  DoneEngine(engine);
  return params == 12 ? 0 : 1;
}
C
"$cc" -static-libgcc -o "$root/bin/host.exe" "$work/host.c" -I"$root/include" -L"$root/lib" -lce_kestrel ||
  fail "a C host does not link with the import library"

if [ $# -gt 0 ]; then
  "$@" "$root/bin/host.exe" || fail "the C host linked with the import library failed"
  "$@" "$root/bin/cehost.exe" demo >"$work/demo.txt" 2>&1 ||
    { cat "$work/demo.txt"; fail "the demo failed from the unpacked zip"; }
  echo "demo ran from $root"
fi
echo "zip $(basename "$zip"): files, version resource and import library are right"
