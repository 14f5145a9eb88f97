#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and tests every
# preset: Linux, ASan+UBSan, TSan (concurrency and stress tests), the fuzz
# targets' corpus replays under clang's libFuzzer with ASan+UBSan, the 64-bit
# Windows build under wine64, and the 32-bit Windows product under 32-bit
# wine (every test of the 64-bit build, the export table, and cehost's demo
# as installed). Long fuzzing is scripts/fuzz.sh.
set -euo pipefail
CE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$CE_ROOT"
. scripts/lib.sh

ensure_project_packages
ensure_wine32
export WINEDEBUG=-all

passed=0
failed=0
status=0
for preset in linux asan tsan fuzz mingw-x64 mingw-i686; do
  if ! build_preset "$preset"; then
    status=1
    failed=$((failed + 1))
    continue
  fi
  if [ "$preset" = mingw-x64 ]; then
    # Make the wine prefix once, before tests start wine64 side by side.
    say "Preparing wine64"
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  fi
  say "Testing preset $preset"
  log="build/$preset-test.log"
  if ctest --preset "$preset" -j "$(nproc)" 2>&1 | tee "$log" | grep -E '^\s*[0-9]+/[0-9]+ Test .*(Failed|Timeout|Not Run|Exception)|tests passed|tests failed'; then :; fi
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -z "$summary" ]; then
    echo "preset $preset ran no test" >&2
    status=1
    failed=$((failed + 1))
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [ "$bad" -ne 0 ]; then
    status=1
    sed -n '/The following tests FAILED/,$p' "$log"
  fi
done

say "Summary over all presets"
echo "$passed passed, $failed failed"
exit $status
