#!/usr/bin/env bash
# Peers a user might pick instead, on the same 1 KiB documents as cehost:
# OpenSSL 3 with the GOST engine (`openssl cms`, GOST R 34.10-2012 keys and
# certificates made for the run) and GnuPG (`gpg --sign`, `--encrypt`, with
# its default RSA-3072 keys and with Ed25519/Curve25519 keys). Every tool is
# timed per command, one document a command, the way a shell script or a
# host that spawns a tool would use it; cehost also with all documents in one
# command (a batch).
#
#   bench/peers/peers.sh BUILD_DIR OUTPUT.json [DOCUMENTS]
# (the start-up comparison goes to startup.json beside OUTPUT.json)
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
count=${3:-50}
work=$(mktemp -d /tmp/ce-peers.XXXXXX)
trap 'gpgconf --homedir "$work/gnupg" --kill all >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

docs=$work/docs
mkdir -p "$docs"
for i in $(seq 1 "$count"); do head -c 1024 /dev/urandom >"$docs/doc$i.bin"; done

results=()
# CPU time (user + system, nanoseconds) of the finished children so far,
# from the kernel's accounting of this shell (clock ticks).
ticks=$(getconf CLK_TCK)
children_cpu() {
  awk -v hz="$ticks" '{ printf "%.0f", ($16 + $17) * 1e9 / hz }' /proc/$$/stat
}
# record PEER OPERATION WALL_NS CPU_NS: prints and keeps one result per document.
record() {
  local per=$(($3 / count)) cpu=$(($4 / count))
  printf '  %-12s %-38s %8.2f ms wall %8.2f ms CPU per document\n' "$1" "$2" \
    "$(awk -v n="$per" 'BEGIN { print n / 1e6 }')" "$(awk -v n="$cpu" 'BEGIN { print n / 1e6 }')"
  results+=("{\"peer\": \"$1\", \"operation\": \"$2\", \"documents\": $count, \"ns_per_document\": $per, \"cpu_ns_per_document\": $cpu}")
}
# time_each PEER OPERATION COMMAND...: runs COMMAND once per document ({}
# stands for the document) and records the mean wall and CPU time.
time_each() {
  local peer=$1 operation=$2
  shift 2
  local start end cpu0 i
  cpu0=$(children_cpu)
  start=$(date +%s%N)
  for i in $(seq 1 "$count"); do
    local doc="$docs/doc$i.bin"
    "${@//\{\}/$doc}" >/dev/null 2>&1 || { echo "peer command failed: ${*//\{\}/$doc}" >&2; return 1; }
  done
  end=$(date +%s%N)
  record "$peer" "$operation" $((end - start)) $(($(children_cpu) - cpu0))
}

echo "== peers: $count documents of 1 KiB, one command each"

# --- this project: cehost with two users made by kestrel-keys ---
keys=$build/bin/kestrel-keys
cehost=$build/bin/cehost
ex=$work/exchange
mkdir -p "$ex"
for n in 0001 0002; do
  mkdir -p "$work/u$n/keys" "$work/u$n/public"
  "$keys" new --device "$work/u$n/keys" --number "$n" --public-out "$ex" >"$work/u$n/ids"
  enc=$(sed -n 's/^encode-uid=//p' "$work/u$n/ids")
  sig=$(sed -n 's/^sign-uid=//p' "$work/u$n/ids")
  cat >"$work/u$n/profile" <<PROFILE
Root path = $work
Path to secret = $work/u$n/keys
Path to public = $work/u$n/public
Key device = $work/u$n/keys
Encode UID = $enc
Sign UID = $sig
PROFILE
  eval "enc$n=$enc sig$n=$sig"
done
for n in 0001 0002; do
  for m in 0001 0002; do
    "$cehost" --profile "$work/u$n/profile" include-key "$ex/$(eval echo \$sig$m).pub" >/dev/null
    "$cehost" --profile "$work/u$n/profile" include-encode-key "$ex/$(eval echo \$enc$m).pub" >/dev/null
  done
done
p1=$work/u0001/profile
p2=$work/u0002/profile
time_each cehost sign "$cehost" --profile "$p1" sign {} -o {}.ce.sig
time_each cehost verify "$cehost" --profile "$p2" verify {} {}.ce.sig
time_each cehost encrypt "$cehost" --profile "$p1" encrypt --to 0002 {} -o {}.ce.enc
time_each cehost decrypt "$cehost" --profile "$p2" decrypt {}.ce.enc -o {}.ce.dec
# time_batch OPERATION COMMAND...: all documents in one cehost command, one
# worker process (--jobs 1), so that its CPU time compares with a loop.
time_batch() {
  local operation=$1 cpu0 start
  shift
  cpu0=$(children_cpu)
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || { echo "batch failed: $*" >&2; return 1; }
  record cehost "$operation, all documents in one command" $(($(date +%s%N) - start)) \
    $(($(children_cpu) - cpu0))
}
all=()
for i in $(seq 1 "$count"); do all+=("$docs/doc$i.bin"); done
time_batch sign "$cehost" --profile "$p1" sign --jobs 1 "${all[@]}"
time_batch verify "$cehost" --profile "$p2" verify --jobs 1 "${all[@]}"
time_batch encrypt "$cehost" --profile "$p1" encrypt --jobs 1 --to 0002 "${all[@]}"
time_batch decrypt "$cehost" --profile "$p2" decrypt --jobs 1 "${all[@]/%/.enc}"

# --- OpenSSL 3 with the GOST engine ---
for who in signer recipient; do
  openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A \
    -out "$work/$who.key" 2>/dev/null
  openssl req -engine gost -new -x509 -md_gost12_256 -days 2 -subj "/CN=$who" \
    -key "$work/$who.key" -out "$work/$who.crt" 2>/dev/null
done
# Start-up: one `cehost sign` against one `openssl cms -sign`, a document a
# command, in turns so that both see the same load; the CPU time of each
# command comes from the kernel's accounting of that child.
echo "== start-up: one document a command, cehost sign and openssl cms -sign in turns"
python3 "$(dirname "$0")/in_turns.py" "$(dirname "$out")/startup.json" \
  "${BENCH_STARTUP_ROUNDS:-5}" 10 \
  "cehost sign" "$(printf '%q ' "$cehost" --profile "$p1" sign) {} -o {}.startup.sig" \
  "openssl cms -sign" "$(printf '%q ' openssl cms -engine gost -sign -binary -md md_gost12_256 \
    -signer "$work/signer.crt" -inkey "$work/signer.key") -in {} -outform DER -out {}.startup.cms" \
  "${all[@]}"
time_each openssl-gost sign openssl cms -engine gost -sign -binary -md md_gost12_256 \
  -signer "$work/signer.crt" -inkey "$work/signer.key" -in {} -outform DER -out {}.cms.sig
time_each openssl-gost verify openssl cms -engine gost -verify -binary -inform DER \
  -in {}.cms.sig -content {} -CAfile "$work/signer.crt" -out /dev/null
time_each openssl-gost encrypt openssl cms -engine gost -encrypt -binary -gost89 \
  -in {} -outform DER -out {}.cms.enc "$work/recipient.crt"
time_each openssl-gost decrypt openssl cms -engine gost -decrypt -binary -inform DER \
  -in {}.cms.enc -recip "$work/recipient.crt" -inkey "$work/recipient.key" -out /dev/null

# --- GnuPG ---
export GNUPGHOME=$work/gnupg
mkdir -m 700 -p "$GNUPGHOME"
gpg --batch --quiet --passphrase '' --quick-gen-key rsa@bench.invalid default default never 2>/dev/null
gpg --batch --quiet --passphrase '' --quick-gen-key ed@bench.invalid future-default default never 2>/dev/null
for kind in rsa ed; do
  id=$kind@bench.invalid
  time_each "gpg-$kind" sign gpg --batch --yes --quiet -u "$id" --output {}.$kind.sig --detach-sign {}
  time_each "gpg-$kind" verify gpg --batch --quiet --verify {}.$kind.sig {}
  time_each "gpg-$kind" encrypt gpg --batch --yes --quiet --trust-model always -r "$id" \
    --output {}.$kind.gpg --encrypt {}
  time_each "gpg-$kind" decrypt gpg --batch --yes --quiet --output /dev/null --decrypt {}.$kind.gpg
done

{
  echo "["
  for i in "${!results[@]}"; do
    [ "$i" -gt 0 ] && echo ","
    printf '  %s' "${results[$i]}"
  done
  echo
  echo "]"
} >"$out"
echo "peer results: $out"
