#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and uses it as a host
# project would: find_package, pkg-config, and the installed tools.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
# The library directory under the prefix (lib, lib64, lib/<triplet>, ...).
lib=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")

for f in include/ce_kestrel.h $lib/libce_kestrel.so $lib/libce_kestrel.so.1 $lib/libkestrel.so \
         $lib/kestrel-5/libkestrel.so bin/cehost bin/kestrel-keys $lib/pkgconfig/ce_kestrel.pc; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# The module: a versioned file, its SONAME link and the development link.
for link in libce_kestrel.so libce_kestrel.so.1; do
  [ -L "$prefix/$lib/$link" ] || { echo "$lib/$link is not a symbolic link"; exit 1; }
done
soname=$(objdump -p "$prefix/$lib/libce_kestrel.so" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libce_kestrel.so.1 ] || { echo "SONAME is '$soname', not libce_kestrel.so.1"; exit 1; }

mkdir -p "$work/host"
cat > "$work/host/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(host CXX)
find_package(ce_kestrel REQUIRED)
add_executable(host main.cpp)
target_link_libraries(host PRIVATE ce_kestrel::ce_kestrel)
CM
cat > "$work/host/main.cpp" <<'CPP'
#include <ce_kestrel.h>
#include <cstdio>
int main() {
  CE_HANDLE engine = GetCryptObj(0);
  const int params = GetCryptoParamNumber(engine);
  DoneEngine(engine);
  std::printf("%d\n", params);
  return params == 12 ? 0 : 1;
}
CPP
cmake -S "$work/host" -B "$work/host/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host/build" >/dev/null
"$work/host/build/host"

flags=$(PKG_CONFIG_PATH="$prefix/$lib/pkgconfig" pkg-config --cflags --libs ce_kestrel)
include=$(PKG_CONFIG_PATH="$prefix/$lib/pkgconfig" pkg-config --variable=includedir ce_kestrel)
[ "$(realpath "$include")" = "$(realpath "$prefix/include")" ] ||
  { echo "pkg-config does not point into the prefix: $flags"; exit 1; }
c++ -o "$work/host/pc" "$work/host/main.cpp" $flags -Wl,-rpath,"$prefix/$lib"
"$work/host/pc"

# The documentation: host guide, man pages, and the guide's example, which
# builds from its installed copy against the installed package.
for f in share/doc/ce_kestrel/host-guide.md share/man/man1/cehost.1 share/man/man1/kestrel-keys.1; do
  [ -e "$prefix/$f" ] || [ -e "$prefix/$f.gz" ] || { echo "not installed: $f"; exit 1; }
done
cmake -S "$prefix/share/doc/ce_kestrel/examples" -B "$work/example" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
[ -x "$work/example/host_example" ] || { echo "the installed example did not build"; exit 1; }

"$prefix/bin/cehost" demo > "$work/demo.txt" || { cat "$work/demo.txt"; exit 1; }
echo "install: header, module, providers, tools, CMake package, pkg-config and documentation all work"
