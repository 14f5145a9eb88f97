#!/usr/bin/env bash
# cehost batch throughput by the number of worker processes: one command
# verifies (and signs, and decrypts) all documents with --jobs 1 and with
# --jobs 2, run after run in turns so that both see the same load on a
# shared machine; the median wall time of the runs counts.
#
#   bench/peers/batch.sh BUILD_DIR OUTPUT.json [DOCUMENTS] [RUNS]
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
count=${3:-2000}
runs=${4:-5}
work=$(mktemp -d /tmp/ce-batch.XXXXXX)
# With the kernel's autogroup scheduling (sched_autogroup_enabled), all
# processes of one session share one scheduling entity: on a machine kept
# busy by other sessions a batch gets the same processor share with one
# worker or two, and --jobs 2 cannot be faster than --jobs 1 (the line "two
# independent processes / one" below shows that ceiling). BENCH_AUTOGROUP_NICE
# (-20 to 19; below 0 needs root) sets this session's share for the
# measurement, to come near an otherwise idle machine; it is restored at the end.
autogroup_before=
if [ -n "${BENCH_AUTOGROUP_NICE:-}" ] && [ -w /proc/self/autogroup ]; then
  autogroup_before=$(sed -n 's/.* nice //p' /proc/self/autogroup)
  echo "$BENCH_AUTOGROUP_NICE" >/proc/self/autogroup || autogroup_before=
fi
restore() {
  [ -n "$autogroup_before" ] && echo "$autogroup_before" >/proc/self/autogroup
  rm -rf "$work"
}
trap restore EXIT
keys=$build/bin/kestrel-keys
cehost=$build/bin/cehost

mkdir -p "$work/docs" "$work/ex"
for n in 0001 0002; do
  mkdir -p "$work/u$n/keys" "$work/u$n/public"
  "$keys" new --device "$work/u$n/keys" --number "$n" --public-out "$work/ex" >"$work/u$n/ids"
  cat >"$work/u$n/profile" <<PROFILE
Path to secret = $work/u$n/keys
Path to public = $work/u$n/public
Key device = $work/u$n/keys
Encode UID = $(sed -n 's/^encode-uid=//p' "$work/u$n/ids")
Sign UID = $(sed -n 's/^sign-uid=//p' "$work/u$n/ids")
PROFILE
done
for n in 0001 0002; do
  for pub in "$work"/ex/*.pub; do
    case $(basename "$pub" .pub) in
    ??????????) what=include-encode-key ;;
    *) what=include-key ;;
    esac
    "$cehost" --profile "$work/u$n/profile" $what "$pub" >/dev/null
  done
done
p1=$work/u0001/profile
p2=$work/u0002/profile
files=()
for i in $(seq 1 "$count"); do
  head -c 1024 /dev/urandom >"$work/docs/doc$i"
  files+=("$work/docs/doc$i")
done
"$cehost" --profile "$p1" sign "${files[@]}" >/dev/null 2>&1
"$cehost" --profile "$p1" encrypt --to 0002 "${files[@]}" >/dev/null 2>&1
encrypted=("${files[@]/%/.enc}")

ticks=$(getconf CLK_TCK)
children_cpu() { awk -v hz="$ticks" '{ printf "%.0f", ($16 + $17) * 1e9 / hz }' /proc/$$/stat; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "== cehost batches: $count documents of 1 KiB in one command, $runs runs each"
echo "  load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors; autogroup" \
  "$(cat /proc/sys/kernel/sched_autogroup_enabled 2>/dev/null || echo '?')," \
  "$(cat /proc/self/autogroup 2>/dev/null || echo 'none')"
results=()
for operation in verify sign decrypt; do
  for jobs in 1 2; do : >"$work/$operation.$jobs.wall" && : >"$work/$operation.$jobs.cpu"; done
  for run in $(seq 1 "$runs"); do
    for jobs in 1 2; do
      case $operation in
      verify) command=("$cehost" --profile "$p2" verify --jobs "$jobs" "${files[@]}") ;;
      sign) command=("$cehost" --profile "$p1" sign --jobs "$jobs" "${files[@]}") ;;
      decrypt) command=("$cehost" --profile "$p2" decrypt --jobs "$jobs" "${encrypted[@]}") ;;
      esac
      cpu0=$(children_cpu)
      start=$(date +%s%N)
      "${command[@]}" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
      echo $(($(date +%s%N) - start)) >>"$work/$operation.$jobs.wall"
      echo $(($(children_cpu) - cpu0)) >>"$work/$operation.$jobs.cpu"
    done
  done
  for jobs in 1 2; do
    wall=$(median <"$work/$operation.$jobs.wall")
    cpu=$(median <"$work/$operation.$jobs.cpu")
    eval "wall$jobs=$wall"
    printf '  %-8s --jobs %s  %8.0f documents/s  %6.1f µs CPU per document\n' "$operation" "$jobs" \
      "$(awk -v n="$count" -v w="$wall" 'BEGIN { print n * 1e9 / w }')" \
      "$(awk -v n="$count" -v c="$cpu" 'BEGIN { print c / n / 1e3 }')"
    results+=("{\"operation\": \"$operation\", \"jobs\": $jobs, \"documents\": $count, \"runs\": $runs, \"median_wall_ns\": $wall, \"median_cpu_ns\": $cpu}")
  done
  printf '  %-8s --jobs 2 / --jobs 1 throughput: %.2f\n' "$operation" \
    "$(awk -v a="$wall1" -v b="$wall2" 'BEGIN { print a / b }')"
done

# What the machine allows: two independent --jobs 1 commands on the two
# halves at the same time, against one on all. On a shared machine two
# processes may get no more processor time than one; --jobs 2 cannot beat this.
half=$((count / 2))
: >"$work/one" && : >"$work/two"
for run in $(seq 1 "$runs"); do
  start=$(date +%s%N)
  "$cehost" --profile "$p2" verify --jobs 1 "${files[@]}" >/dev/null 2>&1
  echo $(($(date +%s%N) - start)) >>"$work/one"
  start=$(date +%s%N)
  "$cehost" --profile "$p2" verify --jobs 1 "${files[@]:0:half}" >/dev/null 2>&1 &
  "$cehost" --profile "$p2" verify --jobs 1 "${files[@]:half}" >/dev/null 2>&1 &
  wait
  echo $(($(date +%s%N) - start)) >>"$work/two"
done
one=$(median <"$work/one")
two=$(median <"$work/two")
printf '  verify   two independent processes / one: %.2f (the machine'"'"'s ceiling for --jobs 2)\n' \
  "$(awk -v a="$one" -v b="$two" 'BEGIN { print a / b }')"
results+=("{\"operation\": \"verify, two independent processes on halves\", \"jobs\": 2, \"documents\": $count, \"runs\": $runs, \"median_wall_ns\": $two, \"median_cpu_ns\": 0, \"single_wall_ns\": $one}")

{
  echo "["
  for i in "${!results[@]}"; do
    [ "$i" -gt 0 ] && echo ","
    printf '  %s' "${results[$i]}"
  done
  echo
  echo "]"
} >"$out"
echo "batch results: $out"
