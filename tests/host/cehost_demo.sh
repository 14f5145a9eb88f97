#!/usr/bin/env bash
# The Windows build as it ships: installed into a temporary prefix, its
# cehost.exe runs the demo with the installed module, provider and key tool.
# usage: cehost_demo.sh BUILD_DIR EMULATOR...
set -euo pipefail
build=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work" >/dev/null
for f in cehost.exe ce_kestrel.dll kestrel.dll kestrel-keys.exe; do
  [ -e "$work/bin/$f" ] || { echo "not installed: bin/$f"; exit 1; }
done
"$@" "$work/bin/cehost.exe" demo
