#!/usr/bin/env bash
# What cehost takes from its user: recipient lists, the profile, errors with
# their context and advice, and what include-key reports about the key.
# usage: cehost_input_test.sh BIN_DIR
bin=$1
. "$(dirname "$0")/host_test_lib.sh"
user alice 0001
user bob 0002
user carol 0003
A=("$cehost" --profile alice.profile)
for uid in "$alice_sig" "$bob_sig" "$carol_sig"; do
  "${A[@]}" include-key "exchange/$uid.pub" > out 2>&1; check "include $uid" 0 $?
done
for uid in "$alice_enc" "$bob_enc"; do
  "${A[@]}" include-encode-key "exchange/$uid.pub" > out 2>&1; check "include $uid" 0 $?
done
printf 'order\n' > order.txt   # 6 bytes: one recipient adds 85, two add 133

# --to: ';' ',' and blanks separate; items are 4-digit numbers or 10/12-digit
# identifiers, never of key number 0000; anything else is refused by name,
# and so is an identifier the directory does not hold (its number may belong
# to another key now). Every recipient is kept.
while IFS='|' read -r list rc size text; do
  rm -f order.txt.enc
  "${A[@]}" encrypt --to "$list" order.txt > out 2>&1; check "--to '$list'" "$rc" $?
  [ -n "$text" ] && contains "--to '$list' says" out "${text//@W/$work}"
  lacks "--to '$list' does not blame Encode UID" out "Encode UID"
  if [ -n "$size" ]; then
    [ "$(stat -c %s order.txt.enc)" = "$size" ]; check "--to '$list' encrypts for all" 0 $?
  fi
done <<'T'
0002|0||
0002,0001|0|139|
0002 0001|0|139|
0002; 0001;|0|139|
0002000001;000100000101|0|139|
0002abc|2||"0002abc" is not a recipient
0002,3|2||"3" is not a recipient
00020|2||"00020"
0002,,x|2||"x"
 ; |2||names no recipient
0002,0003|1||cehost include-encode-key FILE
0000|2||"0000" names key number 0000
0002,0000|2||"0000" names key number 0000
000000000101|2||"000000000101" names key number 0000
0002999999|2||"0002999999": the public key directory "@W/alice/public" holds no such key
000299999999|2||"000299999999": the public key directory "@W/alice/public" holds no such key
T
"${A[@]}" encrypt --to 0002 --to 0001 order.txt > out 2>&1; check "--to twice" 2 $?
contains "--to twice is named" out "--to is given twice"
"${A[@]}" encrypt --to 0002,0001 order.txt -o both.enc > out 2>&1; check "encrypt for two" 0 $?
for who in alice bob; do
  "$cehost" --profile $who.profile include-encode-key "exchange/$alice_enc.pub" > out 2>&1
  "$cehost" --profile $who.profile decrypt both.enc -o "both.$who" > out 2>&1
  check "$who, the second or first of '0002,0001', decrypts" 0 $?
done

# The profile's list is read the same way.
cp alice.profile list.profile; echo 'Encrypt for key number = 0002, 0001' >> list.profile
"$cehost" --profile list.profile encrypt order.txt -o listed.enc > out 2>&1; check "profile list" 0 $?
[ "$(stat -c %s listed.enc)" = 139 ]; check "the profile's list keeps both recipients" 0 $?
while IFS='|' read -r entry text; do
  cp alice.profile bad.profile; echo "Encrypt for key number = $entry" >> bad.profile
  "$cehost" --profile bad.profile encrypt order.txt > out 2>&1; check "profile list '$entry'" 2 $?
  contains "profile list '$entry': the bad item is named" out "$text"
done <<'T'
0002abc|"0002abc"
0000|"0000" names key number 0000
0002999999|"0002999999": the public key directory
T
# Ten recipients from the profile: the buffer cehost sizes by the module's
# query for the configured list holds the block for all ten.
for n in 0004 0005 0006 0007 0008 0009 0010 0011; do
  "$keys" new --device "many/$n" --number $n --public-out many > /dev/null
  "${A[@]}" include-encode-key "many/${n}000001.pub" > out 2>&1; check "include $n" 0 $?
done
cp alice.profile ten.profile
echo 'Encrypt for key number = 0004;0005;0006;0007;0008;0009;0010;0011;0001;0002' >> ten.profile
"$cehost" --profile ten.profile encrypt order.txt -o ten.enc > out 2>&1; check "encrypt for ten" 0 $?
[ "$(stat -c %s ten.enc)" = $((6 + 48 * 10 + 37)) ]; check "the block is for all ten" 0 $?
"$cehost" --profile bob.profile decrypt ten.enc -o ten.bob > out 2>&1; check "bob, the tenth, decrypts" 0 $?
cmp -s ten.bob order.txt; check "bob reads the order" 0 $?
sed 's/^Encode UID = .*/Encode UID = abc/' alice.profile > baduid.profile

# Key work needs a profile: none, a directory, a missing file or a broken
# one is exit 2 with what to do. params and error-text need none.
mkdir profiles
printf 'Sign UID = 1\nSign UID = 2\n' > twice.profile
printf 'Sign UID 000100000101\n' > noeq.profile
while IFS='|' read -r what rc text command; do
  eval "$command" > out 2>&1; check "$what" "$rc" $?
  [ -n "$text" ] && contains "$what says" out "$text"
done <<'T'
no profile|2|--profile FILE|env -u CEHOST_PROFILE "$cehost" sign order.txt
a directory as --profile|2|is a directory|"$cehost" --profile profiles sign order.txt
a directory as CEHOST_PROFILE|2|is a directory|CEHOST_PROFILE=profiles "$cehost" encrypt --to 0002 order.txt
a missing profile|2|does not exist|"$cehost" --profile nothing.profile decrypt order.txt.enc
a name given twice|2|twice.profile:2: "Sign UID" is given twice|"$cehost" --profile twice.profile sign order.txt
a line without '='|2|noeq.profile:1|"$cehost" --profile noeq.profile sign order.txt
params without a profile|0|Sign UID|env -u CEHOST_PROFILE "$cehost" params
--profile twice|2|--profile is given twice|"$cehost" --profile alice.profile --profile bob.profile sign order.txt
T

# Errors name the file, keys and paths involved and say what to do; the
# module's own text is shown in UTF-8.
sed "s|^Path to public = .*|Path to public = $work/nowhere|" alice.profile > nodir.profile
sed "s|^Key device = .*|Key device = $work/nokeys|" alice.profile > nodev.profile
"$cehost" --profile carol.profile sign order.txt -o carol.sig > out 2>&1
user erin 0005   # whose directory file goes missing
"$cehost" --profile erin.profile include-key "exchange/$alice_sig.pub" > out 2>&1
rm erin/public/kestrel.spr
while IFS='|' read -r what text advice command; do
  eval "$command" > out 2>&1; check "$what" 1 $?
  contains "$what: the module's text" out "$text"
  contains "$what: advice" out "${advice//@W/$work}"
done <<'T'
directory missing|Справочник открытых ключей не найден|"@W/nowhere" does not exist|"$cehost" --profile nodir.profile encrypt --to 0002 order.txt
key not in the directory|В справочнике нет заданного открытого ключа|encrypting order.txt for 0003|"${A[@]}" encrypt --to 0003 order.txt
signer's key not included|Не найден открытый ключ|The signer's key is not in the public key directory "@W/bob/public"|"$cehost" --profile bob.profile verify order.txt carol.sig
key device not found|Ошибка при обращении к сменному ключевому устройству|The key device "@W/nokeys" was not found|"$cehost" --profile nodev.profile sign order.txt
wrong key|ERR_BAD_KEY|Wrong key: the block is not for "0003000001"|"$cehost" --profile carol.profile decrypt both.enc -o x
directory file lost|Не найден файл справочника|kestrel-keys retire-directory --device "@W/erin/keys" --directory "@W/erin/public"|"$cehost" --profile erin.profile include-key "exchange/$bob_sig.pub"
own key number unreadable|Incorrect settings for "Encode UID"|The recipients "0002" (--to) or "Encode UID" ("abc")|"$cehost" --profile baduid.profile encrypt --to 0002 order.txt
T

# include-key names the key and its fingerprint (the first digits of the
# key file's SHA-256), and says when it replaced a different key.
fp() { sha256sum < "$1" | sed -E 's/^(.{4})(.{4})(.{4})(.{4}).*/\1:\2:\3:\4/'; }
"$keys" new --device impostor --number 0002 --public-out impostor > /dev/null
cp "impostor/$bob_sig.pub" CAROL_NEW_KEY.pub
while IFS='|' read -r what file text; do
  "${A[@]}" include-key "$file" > out 2>&1; check "$what" 0 $?
  contains "$what: names the key" out "$(eval echo "$text")"
done <<'T'
include again|exchange/000200000101.pub|included 000200000101, signature key, fingerprint $(fp exchange/000200000101.pub)
unchanged is said|exchange/000200000101.pub|held this key already
a different key under the same identifier|CAROL_NEW_KEY.pub|replaced the different key the directory held under $bob_sig: old fingerprint $(fp exchange/$bob_sig.pub), new fingerprint $(fp CAROL_NEW_KEY.pub)
T
"${A[@]}" include-encode-key "exchange/$carol_enc.pub" > out 2>&1; check "include an encryption key" 0 $?
contains "its kind is named" out "$carol_enc, encryption key, fingerprint $(fp "exchange/$carol_enc.pub")"

# The module includes a private copy of exactly the bytes cehost read by
# the name given: never a case variant, never another file that the name
# means in the module's Windows reading ('\' a separator). The copies go
# whether the include succeeds or fails.
"${A[@]}" include-key "exchange/$bob_sig.pub" > out 2>&1; check "bob's own key back" 0 $?
mkdir tmp ex; export TMPDIR=$work/tmp
cp "impostor/$bob_sig.pub" BOB_NEW_KEY.PUB
cp "exchange/$carol_sig.pub" 'ex\k.pub'; cp "impostor/$bob_sig.pub" ex/k.pub
head -c 100 "exchange/$carol_sig.pub" > short.pub
head -c 70000 /dev/zero > big.pub
while IFS='|' read -r what rc file text; do
  "${A[@]}" include-key "$file" > out 2>&1; check "$what" "$rc" $?
  contains "$what: says" out "$(eval "echo \"$text\"")"
  "${A[@]}" include-key "exchange/$bob_sig.pub" > out 2>&1
  contains "$what: bob's key stays" out "held this key already"
done <<'T'
a case variant of the name|4|bob_new_key.pub|cannot read bob_new_key.pub
a backslash in the name|0|ex\k.pub|included $carol_sig, signature key, fingerprint $(fp 'ex\k.pub'), from ex\k.pub
a file the module refuses|1|short.pub|including short.pub
a file larger than a key file can be|4|big.pub|larger than 65536 bytes
T
[ -z "$(ls -A tmp)" ]; check "no copy is left in TMPDIR" 0 $?
unset TMPDIR

finish cehost_input
