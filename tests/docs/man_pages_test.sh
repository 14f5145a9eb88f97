#!/usr/bin/env bash
# The man pages render without a single groff warning, and they cover what
# the programs themselves offer: every command that `cehost --help` lists and
# every option that `kestrel-keys --help` names, for the project's version.
# usage: man_pages_test.sh MAN_DIR CEHOST KESTREL_KEYS VERSION
set -uo pipefail
man_dir=$1
cehost=$2
keys=$3
version=$4
failures=0

for page in "$man_dir"/cehost.1 "$man_dir"/kestrel-keys.1; do
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "FAIL: $page renders with warnings:"; echo "$warnings"; failures=$((failures + 1))
  fi
  grep -q "^\.TH .*\"ce_kestrel $version\"" "$page" ||
    { echo "FAIL: $page is not marked as ce_kestrel $version"; failures=$((failures + 1)); }
done

# The words a page sets in bold, as the reader sees them.
bold_words() { sed -n 's/^\.B[IR]\{0,1\} \{1,\}\([^ ]*\).*/\1/p' "$1" | sed 's/\\-/-/g; s/"//g'; }

# cehost's commands, from its own usage text (the lines after "Commands:").
commands=$("$cehost" --help 2>&1 | awk '/^Commands:/ { on = 1; next } on && /^  [a-z]/ { print $1 }')
[ -n "$commands" ] || { echo "FAIL: no commands in cehost --help"; exit 1; }
for c in $commands; do
  bold_words "$man_dir/cehost.1" | grep -qxF -- "$c" ||
    { echo "FAIL: cehost.1 does not describe the command $c"; failures=$((failures + 1)); }
done
for option in $("$cehost" --help 2>&1 | grep -o -- '--[a-z-]*' | sort -u); do
  bold_words "$man_dir/cehost.1" | grep -qxF -- "$option" ||
    grep -qF -- "$(sed 's/-/\\\\-/g' <<< "$option")" "$man_dir/cehost.1" ||
    { echo "FAIL: cehost.1 does not describe the option $option"; failures=$((failures + 1)); }
done

# kestrel-keys' commands and options, from its usage text.
usage=$("$keys" --help 2>&1)
for word in $(grep -o -- '--[a-z-]*' <<< "$usage" | sort -u) new show; do
  grep -qF -- "$(sed 's/-/\\-/g' <<< "$word")" "$man_dir/kestrel-keys.1" ||
    { echo "FAIL: kestrel-keys.1 does not describe $word"; failures=$((failures + 1)); }
done

[ "$failures" -eq 0 ] || exit 1
echo "man pages: no groff warnings; $(wc -w <<< "$commands") cehost commands and the key tool's options described"
