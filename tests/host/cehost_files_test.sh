#!/usr/bin/env bash
# cehost's own files: exact (UTF-8) names, never a case variant, private
# plaintext, no write through a planted link. usage: cehost_files_test.sh BIN_DIR
bin=$1
. "$(dirname "$0")/host_test_lib.sh"
user alice 0001
user bob 0002
A=("$cehost" --profile alice.profile)
B=("$cehost" --profile bob.profile)
for who in alice bob; do
  "$cehost" --profile $who.profile include-key "exchange/$alice_sig.pub" > out 2>&1
  check "$who includes alice's signature key" 0 $?
  for uid in "$alice_enc" "$bob_enc"; do
    "$cehost" --profile $who.profile include-encode-key "exchange/$uid.pub" > out 2>&1
    check "$who includes $uid" 0 $?
  done
done

# Cyrillic names for inputs, outputs, the profile and a key file that goes
# into the module (in Windows-1251).
printf 'платёжное поручение\n' > платёж.txt
cp alice.profile профиль.txt
cp "exchange/$alice_sig.pub" "ключ Алисы.pub"
while IFS='|' read -r what rc command; do
  eval "$command" > out 2>&1; check "$what" "$rc" $?
done <<'T'
sign a Cyrillic file|0|"${A[@]}" sign платёж.txt
the signature is beside it|0|[ -s платёж.txt.sig ]
a Cyrillic output name is kept|0|"${A[@]}" sign платёж.txt -o подпись.sig && [ -s подпись.sig ]
verify with Cyrillic names|0|"${B[@]}" verify платёж.txt подпись.sig
a Cyrillic profile name|0|"$cehost" --profile профиль.txt params
a Cyrillic key file name|0|"${B[@]}" include-key "ключ Алисы.pub"
encrypt and decrypt Cyrillic names|0|"${A[@]}" encrypt --to 0002 платёж.txt -o шифр.enc && "${B[@]}" decrypt шифр.enc -o расшифровано.txt && cmp платёж.txt расшифровано.txt
T
ls | grep -q 'Р' ; check "no name mangled into Windows-1251 read as UTF-8" 1 $?

# A path that goes into the module and that Windows-1251 cannot hold is
# refused, not passed on as '?'. A key file is read by cehost itself (the
# module gets a copy), so its name may hold any character.
cp "exchange/$alice_sig.pub" "key-☃.pub"
"${B[@]}" include-key "key-☃.pub" > out 2>&1; check "a key file name without a Windows-1251 form" 0 $?
contains "the key is named" out "included $alice_sig"
sed "s|^Path to public = .*|Path to public = $work/☃|" alice.profile > snow.profile
"$cehost" --profile snow.profile sign платёж.txt > out 2>&1; check "a profile path without a Windows-1251 form" 2 $?
contains "the refusal names the parameter" out "Path to public"

# Case variants of outputs are other files: they stay as they were.
printf 'statement text\n' > s.txt
"${A[@]}" encrypt --to 0002 s.txt -o statement.enc > out 2>&1; check "encrypt a statement" 0 $?
printf 'unrelated\n' > Statement
printf 'old signature\n' > NOTES.TXT.sig
printf 'notes\n' > notes.txt
"${B[@]}" decrypt statement.enc > out 2>&1; check "decrypt beside a case variant" 0 $?
cmp -s statement s.txt; check "the exact name gets the plaintext" 0 $?
grep -qx unrelated Statement; check "the case variant is untouched" 0 $?
"${A[@]}" sign notes.txt > out 2>&1; check "sign beside a case variant" 0 $?
grep -qx 'old signature' NOTES.TXT.sig; check "NOTES.TXT.sig is untouched" 0 $?
[ -s notes.txt.sig ]; check "notes.txt.sig is written" 0 $?
"${A[@]}" sign NOTES.txt > out 2>&1; check "an input is read by its exact name only" 4 $?

# Plaintext is never more open than its encrypted form; a file it replaces
# is narrowed too. Signatures keep the usual permissions.
umask 022
printf 'salary list\n' > pay.txt
"${A[@]}" encrypt --to 0002 pay.txt -o pay.enc > out 2>&1; check "encrypt pay" 0 $?
chmod 600 pay.enc
printf 'old, world-readable\n' > pay.old; chmod 644 pay.old
while IFS='|' read -r what command output mode; do
  eval "$command" > out 2>&1; check "$what" 0 $?
  actual=$(stat -c %a "$output" 2>/dev/null)
  [ "$actual" = "$mode" ]; check "$what: mode $mode (is $actual)" 0 $?
done <<'T'
decrypt a 0600 file to a new one|"${B[@]}" decrypt pay.enc -o pay.new|pay.new|600
decrypt a 0600 file over a 0644 one|"${B[@]}" decrypt pay.enc -o pay.old|pay.old|600
add a signature to a 0640 file|chmod 640 pay.new && "${A[@]}" add-sign pay.new -o pay.signed|pay.signed|640
a signature of a 0600 file|"${A[@]}" sign pay.new -o pay.sig|pay.sig|644
a link to a 0666 file as output|printf x > open.txt && chmod 666 open.txt && ln -s open.txt pay.lnk && "${A[@]}" sign pay.new -o pay.lnk|pay.lnk|644
T

# Links planted at the output, or at the temporary names a writer used to
# pick (NAME.tmp.PID.N), neither receive the data nor block the write.
printf 'victim\n' > victim
ln -s victim linked.txt
"${B[@]}" decrypt pay.enc -o linked.txt > out 2>&1; check "decrypt onto a link" 0 $?
grep -qx victim victim; check "the link's target is untouched" 0 $?
bash -c 'for n in 0 1 2; do ln -s victim "planted.txt.tmp.$$.$n"; done; exec "$0" "$@"' \
  "${B[@]}" decrypt pay.enc -o planted.txt > out 2>&1
check "decrypt with links planted at the old temporary names" 0 $?
grep -qx victim victim; check "the planted links' target is untouched" 0 $?
cmp -s planted.txt pay.txt; check "the output is the plaintext" 0 $?
mkfifo pipe
"${A[@]}" sign pay.txt -o pipe > out 2>&1; check "an output that is no regular file is refused" 4 $?
[ -p pipe ]; check "the pipe is still a pipe" 0 $?
# A pipe as an input or as the profile is refused at once: opening it
# would wait for a writer forever.
while IFS='|' read -r what rc text command; do
  timeout 20 bash -c "$command" "$cehost" > out 2>&1; check "$what" "$rc" $?
  contains "$what: says" out "$text"
done <<'T'
a pipe to sign|4|cannot read pipe: not a regular file|"$0" --profile alice.profile sign pipe
a pipe as the profile|2|the profile pipe is not a regular file|"$0" --profile pipe sign pay.txt
a pipe as a key file|4|cannot read pipe: not a regular file|"$0" --profile alice.profile include-key pipe
T
ls -A | grep -q '^\.cehost-'; check "no temporary file is left" 1 $?

finish cehost_files
