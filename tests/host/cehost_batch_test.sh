#!/usr/bin/env bash
# cehost batches: many files in one command, spread over worker processes.
# A failed file does not stop the others, is named, and decides the exit
# code; every number of jobs gives the outputs single-file runs give.
# usage: cehost_batch_test.sh BIN_DIR
bin=$1
. "$(dirname "$0")/host_test_lib.sh"
user alice 0001
user bob 0002
A=("$cehost" --profile alice.profile)
B=("$cehost" --profile bob.profile)
for who in alice bob; do
  for uid in "$alice_sig" "$bob_sig"; do
    "$cehost" --profile $who.profile include-key "exchange/$uid.pub" > out 2>&1
  done
  for uid in "$alice_enc" "$bob_enc"; do
    "$cehost" --profile $who.profile include-encode-key "exchange/$uid.pub" > out 2>&1
  done
done
docs() { # docs DIR: five documents d1..d5 in a fresh DIR
  rm -rf "$1"; mkdir "$1"
  for i in 1 2 3 4 5; do printf 'payment order %s\n' "$i" > "$1/d$i"; done
}

# One file in the middle fails: the others are done, the failure is named
# with the module's or the file's reason, the summary counts both, and the
# exit code is the failure's. Each row: command, how d3 is broken, exit code,
# text of the failure.
while IFS='|' read -r what jobs prepare rc text command; do
  docs b; eval "$prepare"
  eval "$command" > out 2>&1; check "$what --jobs $jobs: exit" "$rc" $?
  contains "$what --jobs $jobs: the failure is named" out "$text"
  contains "$what --jobs $jobs: summary" out "4 done, 1 failed"
  [ "$(grep -c '^cehost: .*d3' out)" = 1 ]; check "$what --jobs $jobs: one failure line" 0 $?
  for i in 1 2 4 5; do
    grep -q "b/d$i\b" out; check "$what --jobs $jobs: d$i is reported done" 0 $?
  done
done <<'T'
sign|1|: > b/d3|4|b/d3 is empty|"${A[@]}" sign --jobs 1 b/d*
sign|3|: > b/d3|4|b/d3 is empty|"${A[@]}" sign --jobs 3 b/d*
verify|2|"${A[@]}" sign b/d* > /dev/null 2>&1; echo x >> b/d3|1|verifying b/d3 with b/d3.sig|"${B[@]}" verify -j 2 b/d1 b/d2 b/d3 b/d4 b/d5
encrypt|2|rm b/d3|4|cannot read b/d3|"${A[@]}" encrypt --to 0002 --jobs 2 b/d1 b/d2 b/d3 b/d4 b/d5
decrypt|2|"${A[@]}" encrypt --to 0002 b/d* > /dev/null 2>&1; dd if=/dev/zero of=b/d3.enc bs=1 seek=60 count=1 conv=notrunc 2>/dev/null|1|decrypting b/d3.enc|"${B[@]}" decrypt --jobs 2 b/d*.enc
add-sign|3|: > b/d3|4|b/d3 is empty|"${A[@]}" add-sign --jobs 3 b/d*
remove-sign|2|"${A[@]}" add-sign b/d1 b/d2 b/d4 b/d5 > /dev/null 2>&1|1|the signature of b/d3|"${B[@]}" remove-sign --jobs 2 b/d*
T
docs b; : > b/d2; "${A[@]}" sign b/d1 b/d3 > out 2>&1; echo x >> b/d3
"${B[@]}" verify b/d1 b/d2 b/d3 > out 2>&1; check "failures of different kinds exit 1" 1 $?
contains "mixed failures: summary" out "1 done, 2 failed"

# --jobs 1 and --jobs 3 give what single-file runs give: the same lines in
# the order of the files, the same outputs.
docs one
for i in 1 2 3 4 5; do
  "${A[@]}" encrypt --to 0002 "one/d$i" > /dev/null 2>&1
  "${A[@]}" sign "one/d$i" > /dev/null 2>&1
  "${B[@]}" verify "one/d$i" >> single.verify 2>&1
  "${B[@]}" decrypt "one/d$i.enc" -o "one/d$i.single" >> /dev/null 2>&1
done
sed -i 's/ -> .*single/ ->/' single.verify
for jobs in 1 3; do
  "${B[@]}" verify --jobs $jobs one/d1 one/d2 one/d3 one/d4 one/d5 > out.$jobs 2> err
  check "verify --jobs $jobs" 0 $?
  cmp -s out.$jobs single.verify; check "verify --jobs $jobs prints what single runs print" 0 $?
  rm -f one/d?
  "${B[@]}" decrypt --jobs $jobs one/d*.enc > dec.$jobs 2> err; check "decrypt --jobs $jobs" 0 $?
  for i in 1 2 3 4 5; do
    cmp -s "one/d$i" "one/d$i.single"; check "decrypt --jobs $jobs: d$i as decrypted alone" 0 $?
  done
done
cmp -s dec.1 dec.3; check "decrypt prints the same lines for any number of jobs" 0 $?
contains "the summary counts the files" err "decrypt: 5 done, 0 failed"

# Attached signatures and encryption round trip in batches: every file comes
# back to its bytes, whatever the number of jobs.
docs t; cp -r t t.orig
while IFS='|' read -r what command; do
  eval "$command" > out 2>&1; check "$what" 0 $?
done <<'T'
add-sign with 2 jobs|"${A[@]}" add-sign --jobs 2 t/d*
add-sign with 3 jobs|"${B[@]}" add-sign --jobs 3 t/d*
remove-sign with 2 jobs|"${A[@]}" remove-sign --jobs 2 t/d* && grep -q "removed a valid signature of $bob_sig: t/d5" out
remove-sign with 1 job|"${A[@]}" remove-sign --jobs 1 t/d*
encrypt with 3 jobs|"${A[@]}" encrypt --to 0002 --jobs 3 t/d1 t/d2 t/d3 t/d4 t/d5 && rm t/d?
decrypt with 2 jobs|"${B[@]}" decrypt --jobs 2 t/d*.enc && rm t/d*.enc
T
diff -r t t.orig > /dev/null; check "the files are back to their bytes" 0 $?

# The progress bar is drawn on a terminal only, and then replaces the lines
# of the files done; failures and the summary are printed all the same.
script -qec "${A[*]} sign --jobs 2 t/d1 t/d2 t/nothing" /dev/null > tty.out 2>&1
check "a batch on a terminal" 4 $?
contains "the bar reaches the end" tty.out "] 3/3"
contains "the failure on a terminal" tty.out "cannot read t/nothing"
lacks "no line per file on a terminal" tty.out "signed t/d1"
"${A[@]}" sign --jobs 2 t/d1 t/d2 > out 2>&1
lacks "no bar when not on a terminal" out "2/2"

# A worker that dies: the file it was doing is named as not done, the other
# worker takes every other file. d2 is large (sparse: no disk used), so its
# worker is still signing it when the other has done the rest.
docs k; rm k/d2; truncate -s 800M k/d2
"${A[@]}" sign --jobs 2 k/d1 k/d2 k/d3 k/d4 k/d5 > out 2>&1 &
parent=$!
for _ in $(seq 1 300); do
  [ "$(pgrep -P $parent | wc -l)" = 1 ] && [ -s k/d5.sig ] && break
  sleep 0.1
done
kill -9 $(pgrep -P $parent); wait $parent; check "a killed worker: exit 1" 1 $?
contains "the killed worker's file is named" out "k/d2: not done: its worker process was killed by signal 9"
contains "a killed worker: summary" out "4 done, 1 failed"
[ -s k/d1.sig ] && [ -s k/d3.sig ] && [ -s k/d5.sig ]; check "the other worker's files are done" 0 $?

# What a batch refuses before it starts (exit 2), and odd names it takes.
docs r; mkdir sub
printf 'in a space\n' > "r/a b"; printf 'кириллица\n' > r/счёт; nl=$(printf 'r/x\ny'); printf 'newline\n' > "$nl"
"${A[@]}" sign r/d1 > /dev/null 2>&1
while IFS='|' read -r what rc text command; do
  eval "$command" > out 2>&1; check "$what" "$rc" $?
  [ -n "$text" ] && contains "$what: says" out "$text"
done <<'T'
a file given twice|2|./r/d1 and r/d1 are given twice|"${A[@]}" sign r/d1 ./r/d1
an output that is another file's input|2|r/d1.sig is read or written for both r/d1 and r/d1.sig|"${A[@]}" sign r/d1 r/d1.sig
a decrypted output that is another input|2|r/d1 is read or written|"${B[@]}" decrypt r/d1.enc r/d1
-o with several files|2|-o names the output of a single file|"${A[@]}" sign r/d1 r/d2 -o one.sig
no files|2|expected one or more files to sign|"${A[@]}" sign --jobs 2
--jobs 0|2|from 1 to 256, not "0"|"${A[@]}" sign --jobs 0 r/d1
--jobs -1|2|not "-1"|"${A[@]}" sign --jobs -1 r/d1
--jobs huge|2|not "99999999999999999999"|"${A[@]}" sign --jobs 99999999999999999999 r/d1
--jobs without a number|2|needs a number|"${A[@]}" verify r/d1 --jobs
more jobs than files|0||"${A[@]}" sign --jobs 256 r/d2 r/d3
names with a blank, Cyrillic and a newline|0||"${A[@]}" sign --jobs 2 "r/a b" r/счёт "$nl" && "${B[@]}" verify --jobs 3 "r/a b" r/счёт "$nl" > names.out
a name that begins with '-' after --|0||cp r/d4 ./-d && "${A[@]}" sign -- -d && [ -s ./-d.sig ]
a missing module fails every worker|3|r/d2: not done: the module|"$cehost" --module "$work/nothing.so" --profile alice.profile sign --jobs 2 r/d1 r/d2 r/d3
T
contains "a worker that cannot start says why once" out "r/d3: not done: its worker process could not start (see above)"
[ "$(wc -l < names.out)" = 3 ]; check "a newline in a name does not split its line" 0 $?
contains "the newline is shown as ?" names.out "signature of r/x?y is valid"

finish cehost_batch
