#!/usr/bin/env bash
# Builds the Debian packages of a build tree with CPack and checks them as a
# packager and a user would: each package holds what it should, every
# installed file is in exactly one package, the dependencies are declared,
# lintian reports no error, and the demo runs from the packages unpacked
# (dpkg-deb -x) into a folder of their own.
# usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }
# The library directory under the prefix (lib, lib64, lib/<triplet>, ...).
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$libdir" ] || fail "no CMAKE_INSTALL_LIBDIR in $build/CMakeCache.txt"

if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack failed"
fi

# The packages by name, and their files (relative paths, links included).
declare -A deb
for f in "$work"/out/*.deb; do
  deb[$(dpkg-deb -f "$f" Package)]=$f
done
[ "${#deb[@]}" -eq 3 ] || fail "expected 3 packages, found: ${!deb[*]}"
for p in ce-kestrel ce-kestrel-dev ce-kestrel-doc; do
  [ -n "${deb[$p]:-}" ] || fail "no package $p (found: ${!deb[*]})"
  dpkg-deb -c "${deb[$p]}" | awk '$1 !~ /^d/ { sub(/ -> .*/, ""); print $NF }' |
    sed 's|^\./||' | sort >"$work/$p.files"
done

# package  path-pattern (grep -E, whole line)  what it is
# (LIBDIR stands for the library directory.)
while read -r p pattern what; do
  pattern=${pattern//LIBDIR/$libdir}
  grep -qxE "$pattern" "$work/$p.files" || fail "$p lacks $what ($pattern)"
done <<'TABLE'
ce-kestrel     usr/LIBDIR/libce_kestrel\.so\.1                  the-module-by-its-SONAME
ce-kestrel     usr/LIBDIR/libce_kestrel\.so\.1\.[0-9]+\.[0-9]+  the-module-file
ce-kestrel     usr/LIBDIR/libkestrel\.so                        the-provider-generation-4
ce-kestrel     usr/LIBDIR/kestrel-5/libkestrel\.so              the-provider-generation-5
ce-kestrel     usr/bin/cehost                                cehost
ce-kestrel     usr/bin/kestrel-keys                          kestrel-keys
ce-kestrel     usr/share/man/man1/cehost\.1\.gz              cehost's-man-page
ce-kestrel     usr/share/man/man1/kestrel-keys\.1\.gz        the-key-tool's-man-page
ce-kestrel     usr/share/doc/ce-kestrel/copyright            its-copyright
ce-kestrel-dev usr/include/ce_kestrel\.h                     the-header
ce-kestrel-dev usr/LIBDIR/libce_kestrel\.so                     the-development-link
ce-kestrel-dev usr/LIBDIR/pkgconfig/ce_kestrel\.pc              the-pkg-config-file
ce-kestrel-dev usr/LIBDIR/cmake/ce_kestrel/ce_kestrelConfig\.cmake the-CMake-package
ce-kestrel-dev usr/share/doc/ce-kestrel-dev/copyright        its-copyright
ce-kestrel-doc usr/share/doc/ce_kestrel/README\.md           the-README
ce-kestrel-doc usr/share/doc/ce-kestrel-doc/copyright        its-copyright
TABLE
# Where each kind of file belongs, wherever it turns up: a file matching a
# pattern (grep -E) is in that package and no other.
while read -r pattern p; do
  pattern=${pattern//LIBDIR/$libdir}
  for other in ce-kestrel ce-kestrel-dev ce-kestrel-doc; do
    [ "$other" = "$p" ] && continue
    stray=$(grep -E "$pattern" "$work/$other.files" || true)
    [ -z "$stray" ] || fail "in $other instead of $p: $stray"
  done
done <<'TABLE'
^usr/bin/                                  ce-kestrel
^usr/share/man/                            ce-kestrel
^usr/LIBDIR/.*\.so\.[0-9.]+$                  ce-kestrel
^usr/LIBDIR/(kestrel-5/)?libkestrel\.so$       ce-kestrel
^usr/include/                              ce-kestrel-dev
^usr/LIBDIR/libce_kestrel\.so$                ce-kestrel-dev
\.(pc|cmake|def)$                          ce-kestrel-dev
^usr/share/doc/ce_kestrel/examples/        ce-kestrel-dev
^usr/share/doc/ce_kestrel/[^/]+\.md$       ce-kestrel-doc
TABLE
[ "$(dpkg-deb -f "${deb[ce-kestrel-doc]}" Architecture)" = all ] ||
  fail "the documentation package is not architecture-independent"

# Every file of a full install is in exactly one package.
cmake --install "$build" --prefix "$work/full" >/dev/null
(cd "$work/full" && find . ! -type d | sed 's|^\./||' | grep -vE '^share/doc/ce-kestrel[^/]*/') |
  sort >"$work/installed"
cat "$work"/ce-kestrel*.files | sed 's|^usr/||' | grep -vE '^share/doc/ce-kestrel[^/]*/' |
  sort >"$work/packaged"
dupes=$(uniq -d "$work/packaged")
[ -z "$dupes" ] || fail "files in more than one package: $dupes"
diff "$work/installed" "$work/packaged" >"$work/missing" ||
  fail "install and packages differ (< only installed, > only packaged):
$(cat "$work/missing")"

# Dependencies: the libraries the programs link (dpkg-shlibdeps), the
# runtime for the development files, and a shlibs entry for the SONAME.
depends=$(dpkg-deb -f "${deb[ce-kestrel]}" Depends)
for dep in libc6 libstdc++6 libgcrypt20; do
  [[ "$depends" == *"$dep"* ]] || fail "ce-kestrel does not depend on $dep: $depends"
done
version=$(dpkg-deb -f "${deb[ce-kestrel]}" Version)
[[ "$(dpkg-deb -f "${deb[ce-kestrel-dev]}" Depends)" == *"ce-kestrel (= $version)"* ]] ||
  fail "ce-kestrel-dev does not depend on ce-kestrel (= $version)"
dpkg-deb -e "${deb[ce-kestrel]}" "$work/control"
grep -qE "^libce_kestrel 1 ce-kestrel" "$work/control/shlibs" ||
  fail "no shlibs entry for libce_kestrel.so.1"

# lintian: no errors (warnings and notes are printed).
command -v lintian >/dev/null || fail "lintian is not installed (apt-get install lintian)"
lintian --tag-display-limit 0 "${deb[@]}" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
! grep -q '^E:' "$work/lintian.txt" || fail "lintian reports errors"

# The packages unpacked, used as installed: the demo (finding the module
# and the provider by their places alone) and a program built
# with the pkg-config file against the development link.
for p in "${!deb[@]}"; do dpkg-deb -x "${deb[$p]}" "$work/root"; done
usr="$work/root/usr"
lib="$usr/$libdir"
"$usr/bin/cehost" demo >"$work/demo.txt" 2>&1 ||
  { cat "$work/demo.txt"; fail "the demo failed from the unpacked packages"; }
cat >"$work/host.c" <<'C'
#include <ce_kestrel.h>
int main(void) {
  CE_HANDLE engine = GetCryptObj(0);
  const int params = GetCryptoParamNumber(engine);
  DoneEngine(engine);
  return params == 12 ? 0 : 1;
}
C
pc="$lib/pkgconfig"
# shellcheck disable=SC2046
cc -o "$work/host" "$work/host.c" $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs ce_kestrel)
LD_LIBRARY_PATH="$lib" "$work/host" || fail "a program built with pkg-config does not run"
echo "packages: ${!deb[*]}; contents, dependencies, lintian and the demo from them are right"
