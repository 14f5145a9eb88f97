#!/usr/bin/env bash
# The benchmarks: installs what is missing, builds the `bench` preset, runs
# the benchmark suite (raw crypto, provider entry points and module exports
# side by side, then scaling), the peak-memory probe and the peers (OpenSSL
# with the GOST engine, GnuPG), and writes JSON and a Markdown summary into
# build/bench/results/.
#
#   bash scripts/bench.sh [GOOGLE-BENCHMARK OPTIONS...]
# e.g. --benchmark_filter=SignData to run only some benchmarks.
# BENCH_PEER_DOCUMENTS (default 50) sets how many documents each peer handles,
# BENCH_BATCH_DOCUMENTS (default 2000) how many a cehost batch handles.
set -euo pipefail
CE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$CE_ROOT"
. scripts/lib.sh

ensure_project_packages
ensure_packages python3 gnupg libbenchmark-dev

build=build/bench
results=$build/results
mkdir -p "$results"
log=build/bench.log
say "Building preset bench"
if ! (cmake --preset bench &&
  cmake --build --preset bench -j "$(nproc)" --target ce_bench ce_bench_memory cehost \
    kestrel kestrel5 kestrel-keys ce_kestrel) >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "build of preset bench failed (full log: $log)" >&2
  exit 1
fi

backend=$(sed -n 's/^KESTREL_CRYPTO_BACKEND:[A-Z]*=//p' "$build/CMakeCache.txt")
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

say "Running the benchmark suite (several minutes)"
"$build/bin/ce_bench" --benchmark_out="$results/bench.json" --benchmark_out_format=json \
  --benchmark_min_time=0.5 "$@"

say "Measuring peak memory per operation"
"$build/bin/ce_bench_memory" "$results/memory.json"

say "Running the peers on the same documents"
bash bench/peers/peers.sh "$build" "$results/peers.json" "${BENCH_PEER_DOCUMENTS:-50}"

say "Measuring cehost batches by number of worker processes"
bash bench/peers/batch.sh "$build" "$results/batch.json" "${BENCH_BATCH_DOCUMENTS:-2000}"

say "Running the key figures again (five repetitions each, medians count)"
"$build/bin/ce_bench" --benchmark_out="$results/key.json" --benchmark_out_format=json \
  --benchmark_min_time=0.5 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_filter='^((raw|raw_openssl|provider|module)/[A-Za-z_+]+/(1024|16777216)(/1)?|raw(_openssl)?/vko|scaling/recipients/module/EncodeData/1024/(1|64)|scaling/directory/.*)$'

load_end=$(cut -d' ' -f1-3 /proc/loadavg)
cat >"$results/machine.json" <<JSON
{"cpu": "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)",
 "nproc": $(nproc),
 "memory": "$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)",
 "load_start": "$load_start", "load_end": "$load_end",
 "backend": "${backend:-libgcrypt}"}
JSON

say "Summary"
python3 bench/report.py "$results"
say "Results are in $CE_ROOT/$results: bench.json, key.json, memory.json, peers.json, batch.json, machine.json, summary.md"
