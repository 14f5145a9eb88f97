#!/usr/bin/env bash
# The API documentation stays whole: every export of the module's export
# table is declared in the public header under a comment, and every line of
# code the host guide shows is a line of the example program it describes.
# usage: docs_consistency_test.sh SOURCE_DIR
set -euo pipefail
src=$1
header="$src/include/ce_kestrel.h"
failures=0

# Exports: the names of the .def file (NAME @ORDINAL).
exports=$(sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*@[0-9].*/\1/p' \
  "$src/Cryptlib/ce_kestrel.def")
count=$(wc -w <<< "$exports")
[ "$count" -eq 75 ] || { echo "FAIL: $count exports in ce_kestrel.def, expected 75"; exit 1; }

# A declaration is documented when the nearest line above its group of
# declarations is a comment. The awk script prints each declared name with
# "yes" or "no".
documented=$(awk '
  /^CE_API\(/ || /^[A-Za-z_]+\(CE_HANDLE/ {
    line = $0
    sub(/^CE_API\([^)]*\)[ ]*/, "", line)
    name = line; sub(/\(.*/, "", name)
    print name, (commented ? "yes" : "no")
    next
  }
  /^\/\// { commented = 1; next }
  /^[ ]*$/ { commented = 0; next }
' "$header")
for name in $exports; do
  state=$(awk -v n="$name" '$1 == n { print $2 }' <<< "$documented")
  if [ -z "$state" ]; then
    echo "FAIL: export $name is not declared in ce_kestrel.h"; failures=$((failures + 1))
  elif [ "$state" != yes ]; then
    echo "FAIL: export $name has no comment in ce_kestrel.h"; failures=$((failures + 1))
  fi
  # Its ordinal comment agrees with the export table.
  ordinal=$(sed -n "s/^[[:space:]]*$name[[:space:]]*@\([0-9]*\).*/\1/p" "$src/Cryptlib/ce_kestrel.def")
  decl=$(awk -v n="$name" '
    index($0, " " n "(") || index($0, "\n" n "(") || $0 ~ "^" n "\\(" { found = 1 }
    found && /\/\* [0-9]+ \*\// { match($0, /\/\* [0-9]+ \*\//); print substr($0, RSTART + 3, RLENGTH - 6); exit }
  ' "$header")
  if [ "$decl" != "$ordinal" ]; then
    echo "FAIL: $name: ordinal $decl in the header, $ordinal in the export table"
    failures=$((failures + 1))
  fi
done

# The guide's C code is the example's: each line of a ```c block, blanks
# aside, occurs in host_example.c.
example=$(mktemp)
trap 'rm -f "$example"' EXIT
sed 's/^[[:space:]]*//; s/[[:space:]]*$//' "$src/examples/host_example.c" > "$example"
while IFS= read -r line; do
  trimmed=$(sed 's/^[[:space:]]*//; s/[[:space:]]*$//' <<< "$line")
  [ -z "$trimmed" ] && continue
  if ! grep -qxF -- "$trimmed" "$example"; then
    echo "FAIL: host-guide.md shows a line the example does not have: $trimmed"
    failures=$((failures + 1))
  fi
done < <(awk '/^```c$/ { inside = 1; next } /^```/ { inside = 0 } inside' "$src/docs/host-guide.md")

[ "$failures" -eq 0 ] || exit 1
echo "docs: $count exports documented in the header; the guide's code is the example's"
