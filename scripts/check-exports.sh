#!/usr/bin/env bash
# Checks a Windows build of the module: its export table must list exactly
# the names of the .def file, undecorated, each with its own ordinal.
set -euo pipefail
dll=$1
def=$2
objdump=objdump
for candidate in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump; do
  if command -v "$candidate" >/dev/null; then objdump=$candidate; break; fi
done

expected=$(awk '$2 ~ /^@[0-9]+$/ { sub("@", "", $2); print $2, $1 }' "$def" | sort -n)
# objdump -p lists the names under "[Ordinal/Name Pointer] Table" as
# "[ n] Name", where n is the ordinal minus the ordinal base.
actual=$("$objdump" -p "$dll" | awk '
  /^Ordinal Base/ { base = $3 }
  /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
  inside && /^[[:space:]]*$/ { inside = 0 }
  inside && match($0, /\[ *[0-9]+\]/) {
    n = substr($0, RSTART + 1, RLENGTH - 2); gsub(/ /, "", n)
    name = substr($0, RSTART + RLENGTH); gsub(/^[[:space:]]+|[[:space:]]+$/, "", name)
    print n + base, name
  }' | sort -n)

count=$(printf '%s\n' "$actual" | grep -c . || true)
echo "exports found: $count"
if [ "$expected" != "$actual" ]; then
  echo "export table differs from $def:" >&2
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2 || true
  exit 1
fi
if printf '%s\n' "$actual" | grep -q '@'; then
  echo "decorated names in the export table" >&2
  exit 1
fi
[ "$count" -eq 75 ] || { echo "expected 75 exports, found $count" >&2; exit 1; }
echo "export table: 75 names, ordinals 1 to 75, undecorated"
