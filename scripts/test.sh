#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and tests every
# preset: Linux (with the Debian packages, built and checked), ASan+UBSan,
# TSan (concurrency and stress tests), the fuzz targets' corpus replays under
# clang's libFuzzer with ASan+UBSan, the 64-bit Windows build under wine64,
# and the 32-bit Windows product under 32-bit wine (every test of the 64-bit
# build, the export table, the zip, and cehost's demo as installed). Prints a
# summary per preset; the full logs are in build/. Long fuzzing is
# scripts/fuzz.sh.
set -euo pipefail
CE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$CE_ROOT"
. scripts/lib.sh
started=$SECONDS

ensure_project_packages
# Without wine the Windows presets cannot run their tests: they are reported
# as not run, and the other presets still run.
wine_ready=1
ensure_wine || { wine_ready=0; echo "wine could not be installed" >&2; }
export WINEDEBUG=-all

passed=0
failed=0
status=0
results=()
for preset in linux asan tsan fuzz mingw-x64 mingw-i686; do
  if [ "$wine_ready" -eq 0 ] && [[ "$preset" == mingw-* ]]; then
    status=1
    failed=$((failed + 1))
    results+=("$(printf '%-11s not run: wine could not be installed' "$preset")")
    continue
  fi
  if ! build_preset "$preset"; then
    status=1
    failed=$((failed + 1))
    results+=("$(printf '%-11s build failed          build log: build/%s.log' "$preset" "$preset")")
    continue
  fi
  if [ "$preset" = mingw-x64 ]; then
    # Make the wine prefix once, before tests start wine64 side by side.
    say "Preparing wine64"
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  fi
  log="build/$preset-test.log"
  say "Testing preset $preset (log: $log)"
  ctest --preset "$preset" -j "$(nproc)" >"$log" 2>&1 || true
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -z "$summary" ]; then
    tail -n 20 "$log"
    echo "preset $preset ran no test" >&2
    status=1
    failed=$((failed + 1))
    results+=("$(printf '%-11s ran no test           test log: %s' "$preset" "$log")")
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  echo "$((total - bad)) passed, $bad failed"
  if [ "$bad" -ne 0 ]; then
    status=1
    # Only the failed tests, as ctest lists them at the end.
    sed -n '/The following tests FAILED/,$p' "$log"
    # And why, as far as the log says it in a few lines: the first failed
    # checks, sanitizer reports and time-outs.
    echo "-- first failures in $log:"
    grep -E -A8 ': Failure$|ERROR: [A-Za-z]+Sanitizer|runtime error:|\*\*\*Timeout|\*\*\*Exception' "$log" |
      head -n 150 || true
  fi
  # Tests that failed once and passed when run again (the presets that
  # allow a second run) are listed too, with the reason of the first failure.
  if [ "$bad" -eq 0 ] && grep -q -E '^ *[0-9]*/?[0-9]* *Test +#[0-9]+: .*\*\*\*' "$log"; then
    echo "-- passed only when run again:"
    grep -E '^ *[0-9]*/?[0-9]* *Test +#[0-9]+: .*\*\*\*' "$log" | head -n 20 || true
    grep -E -A8 ': Failure$|ERROR: [A-Za-z]+Sanitizer|runtime error:' "$log" | head -n 80 || true
  fi
  results+=("$(printf '%-11s %5d passed %4d failed   test log: %s' "$preset" "$((total - bad))" "$bad" "$log")")
done

say "Summary per preset (build logs: build/<preset>.log)"
printf '%s\n' "${results[@]}"
elapsed=$((SECONDS - started))
printf 'whole test command: %d min %02d s\n' $((elapsed / 60)) $((elapsed % 60))
echo "full logs in $CE_ROOT/build/; all presets together:"
echo "$passed passed, $failed failed"
exit $status
