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
# objdump -p prints "[Ordinal/Name Pointer] Table" rows as "[   n] +base[ ord] name"
# (binutils 2.40) or "[n] name" with the ordinal in the export address table.
actual=$("$objdump" -p "$dll" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
  inside && /^\s*$/ { inside = 0 }
  inside {
    line = $0
    if (match(line, /\+base\[ *[0-9]+\]/)) {
      ord = substr(line, RSTART, RLENGTH); gsub(/[^0-9]/, "", ord)
      name = substr(line, RSTART + RLENGTH); gsub(/^ +| +$/, "", name)
      print ord, name
    }
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
