#!/usr/bin/env bash
# cehost as a user drives it: every command end to end in a temporary
# directory, with the real module and provider from the build tree.
# usage: cehost_test.sh BIN_DIR
set -u
bin=$1
cehost="$bin/cehost"
keys="$bin/kestrel-keys"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0

check() { # check DESCRIPTION EXPECTED_RC ACTUAL_RC
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1 (exit $3, expected $2)"
    failures=$((failures + 1))
  fi
}
contains() { # contains DESCRIPTION FILE TEXT
  checks=$((checks + 1))
  if ! grep -qF -- "$3" "$2"; then
    echo "FAIL: $1: '$3' not in:"; sed 's/^/    /' "$2"
    failures=$((failures + 1))
  fi
}

cd "$work"
mkdir -p alice/keys alice/public bob/keys bob/public exchange
"$keys" new --device alice/keys --number 0001 --public-out exchange > alice.ids
"$keys" new --device bob/keys --number 0002 --public-out exchange > bob.ids
a_enc=$(sed -n 's/^encode-uid=//p' alice.ids); a_sig=$(sed -n 's/^sign-uid=//p' alice.ids)
b_enc=$(sed -n 's/^encode-uid=//p' bob.ids); b_sig=$(sed -n 's/^sign-uid=//p' bob.ids)

profile() { # profile NAME ENC SIG
  cat > "$1.profile" <<P
# $1's settings
Root path = $work
Path to secret = $work/$1/keys
Path to public = $work/$1/public
Key device = $work/$1/keys
Encode UID = $2
Sign UID = $3
Encrypt for key number = 0002
P
}
profile alice "$a_enc" "$a_sig"
profile bob "$b_enc" "$b_sig"
A=("$cehost" --profile alice.profile)
B=("$cehost" --profile bob.profile)

# help and usage
"$cehost" --help > out 2>&1; check "help" 0 $?
contains "help lists commands" out "remove-sign"
for c in params encrypt decrypt sign verify add-sign remove-sign include-key include-encode-key remove-key report error-text clear-cache demo; do
  "$cehost" help "$c" > out 2>&1; check "help $c" 0 $?
  contains "help $c shows usage" out "usage:"
done
"$cehost" frobnicate > out 2>&1; check "unknown command" 2 $?
"${A[@]}" encrypt > out 2>&1; check "encrypt without files" 2 $?

# params show the profile's values
"${A[@]}" params > out 2>&1; check "params" 0 $?
contains "params show Sign UID" out "$a_sig"

# exchange keys
for who in alice bob; do
  P=("$cehost" --profile $who.profile)
  for uid in "$a_sig" "$b_sig"; do "${P[@]}" include-key "exchange/$uid.pub" > out 2>&1; check "$who includes $uid" 0 $?; done
  for uid in "$a_enc" "$b_enc"; do "${P[@]}" include-encode-key "exchange/$uid.pub" > out 2>&1; check "$who includes $uid" 0 $?; done
done
"${A[@]}" include-key exchange/missing.pub > out 2>&1; check "include a missing key file" 4 $?
contains "missing key file named" out "cannot read exchange/missing.pub"

# encrypt / decrypt, one file and many
printf 'payment order 1\n' > order1.txt
printf 'payment order 2\n' > order2.txt
printf 'payment order 3\n' > order3.txt
"${A[@]}" encrypt --to 0002 order1.txt > out 2>&1; check "encrypt one" 0 $?
[ "$(stat -c %s order1.txt.enc)" -eq $((16 + 48 + 37)) ]; check "encrypted size" 0 $?
"${A[@]}" encrypt --to "0002;0001" order2.txt order3.txt > out 2>&1; check "encrypt many" 0 $?
cp order1.txt order1.orig
"${B[@]}" decrypt order1.txt.enc -o order1.out > out 2>&1; check "decrypt" 0 $?
contains "decrypt names the sender" out "sender $a_enc"
cmp -s order1.out order1.orig; check "decrypted content" 0 $?
"${B[@]}" decrypt order2.txt.enc -o order2.out > out 2>&1; check "decrypt for two recipients" 0 $?
cmp -s order2.out order2.txt; check "decrypted content of many" 0 $?

# a tampered file fails with the module's text and leaves no output behind
cp order1.txt.enc tampered.enc
printf '\x55' | dd of=tampered.enc bs=1 seek=60 conv=notrunc 2>/dev/null
"${B[@]}" decrypt tampered.enc -o tampered.out > out 2>&1; check "decrypt tampered" 1 $?
contains "tampered text" out "искажен"
[ ! -e tampered.out ]; check "no output left behind" 0 $?
ls tampered.out.tmp* >/dev/null 2>&1; check "no temporary file left behind" 2 $?

# detached signatures
"${A[@]}" sign order1.txt > out 2>&1; check "sign" 0 $?
"${B[@]}" verify order1.txt > out 2>&1; check "verify" 0 $?
contains "verify names the signer" out "signer $a_sig"
cp order1.txt changed.txt; printf 'x' >> changed.txt
"${B[@]}" verify changed.txt order1.txt.sig > out 2>&1; check "verify changed" 1 $?
contains "wrong signature text" out "code 1001"
"${B[@]}" verify order1.txt nonexistent.sig > out 2>&1; check "verify with a wrong path" 4 $?

# attached signatures: two added, two removed, back to the original bytes
cp order3.txt signed.txt
"${A[@]}" add-sign signed.txt > out 2>&1; check "add-sign 1" 0 $?
"${B[@]}" add-sign signed.txt > out 2>&1; check "add-sign 2" 0 $?
"${A[@]}" remove-sign signed.txt > out 2>&1; check "remove-sign 1" 0 $?
contains "remove-sign names the newest signer" out "$b_sig"
"${A[@]}" remove-sign signed.txt > out 2>&1; check "remove-sign 2" 0 $?
cmp -s signed.txt order3.txt; check "signatures removed" 0 $?

# report, remove key, error texts, cache
"${A[@]}" report "$b_sig" > out 2>&1; check "report" 0 $?
contains "report UID line" out "UID=$b_sig"
"${A[@]}" report 999999999999 > out 2>&1; check "report on an absent key" 1 $?
"${A[@]}" remove-key "$a_sig" > out 2>&1; check "remove own key" 1 $?
contains "own key text" out "Can't remove self certificate."
"${A[@]}" remove-key 12345678901 > out 2>&1; check "remove an 11-character key" 1 $?
"${A[@]}" remove-key "$b_sig" > out 2>&1; check "remove key" 0 $?
"${A[@]}" verify order1.txt > out 2>&1; check "verify after removal still works for own key" 0 $?
"${A[@]}" error-text -112 > out 2>&1; check "error-text" 0 $?
contains "error-text prints the text" out "Parameters index out of bounds."
"${A[@]}" error-text twelve > out 2>&1; check "error-text with a non-number" 2 $?
"${A[@]}" clear-cache > out 2>&1; check "clear-cache" 0 $?

# a missing module and a missing provider are named
"$cehost" --module "$work/nothing.so" params > out 2>&1; check "missing module" 3 $?
contains "missing module named" out "nothing.so"
mkdir -p lonely/lib lonely/bin
cp "$bin/../lib/libce_kestrel.so.1" lonely/lib/
cp "$cehost" lonely/bin/
lonely/bin/cehost --profile alice.profile sign order1.txt -o lonely.sig > out 2>&1; check "missing provider" 3 $?
contains "missing provider named" out "kestrel.dll"

# a key device that is absent, then appears while the prompt is shown
mkdir -p devkeys
cat > dev.profile <<P
Root path = $work
Path to secret = TM:COM1
Path to public = $work/alice/public
Key device = TM:COM1
Encode UID = $a_enc
Sign UID = $a_sig
Touch Memory Window Time Out = 20
P
export KESTREL_DEVICE_TM_COM1="$work/device"
( sleep 2; cp -r alice/keys "$work/device.tmp" && mv "$work/device.tmp" "$work/device" ) &
"$cehost" --profile dev.profile sign order2.txt > out 2>&1; check "sign after the device appears" 0 $?
wait
contains "prompt shown" out "Insert the key device TM:COM1"
contains "prompt withdrawn" out "Key device wait ended."
"${B[@]}" verify order2.txt > out 2>&1; check "signature made from the device verifies" 0 $?

echo "cehost: $checks checks, $failures failed"
[ "$failures" -eq 0 ]
