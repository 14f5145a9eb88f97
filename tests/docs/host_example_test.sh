#!/usr/bin/env bash
# The host guide's example program, run as the guide tells a new host
# developer to: keys from kestrel-keys, an empty public key directory, then
# the example against the provider stand-in. It must succeed and show what
# the guide promises; with the wrong bank it must fail.
# usage: host_example_test.sh HOST_EXAMPLE KESTREL_KEYS
set -euo pipefail
example=$1
keys=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/public"
"$keys" new --device "$work/keys" --number 0001 --public-out "$work/exchange" > "$work/me.ids"
"$keys" new --device "$work/bank" --number 0002 --public-out "$work/exchange" > "$work/bank.ids"
id() { sed -n "s/^$1=//p" "$2"; }
me_enc=$(id encode-uid "$work/me.ids"); me_sig=$(id sign-uid "$work/me.ids")
bank_enc=$(id encode-uid "$work/bank.ids"); bank_sig=$(id sign-uid "$work/bank.ids")

if ! "$example" "$work" "$me_enc" "$me_sig" "$bank_enc" "$bank_sig" > "$work/out" 2>&1; then
  echo "FAIL: the example failed:"; cat "$work/out"; exit 1
fi
# Each line is something the guide says the program shows.
for expected in \
  "  4 Encode UID                       = $me_enc" \
  "  8 Key request time out             = 60                       kind  1 0..2147483640" \
  "encrypted for 0001;0002: 44 -> 177 bytes" \
  "decrypted: 44 bytes, sender $me_enc" \
  "verified: signer $me_sig" \
  "changed order: code 1001: Подпись не верна" \
  "every step did what it should"; do
  grep -qF -- "$expected" "$work/out" || { echo "FAIL: '$expected' not in:"; cat "$work/out"; exit 1; }
done

# A bank whose keys are not there: the example reports the module's text and fails.
if "$example" "$work" "$me_enc" "$me_sig" 0003000001 000300000101 > "$work/bad" 2>&1; then
  echo "FAIL: the example succeeded without the bank's keys"; cat "$work/bad"; exit 1
fi
grep -qF "Не найден заданный файл открытого ключа (code -8)" "$work/bad" ||
  { echo "FAIL: no module text for the missing key file:"; cat "$work/bad"; exit 1; }
echo "host example: $(grep -c . "$work/out") lines as the guide shows them"
