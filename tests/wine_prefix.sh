#!/usr/bin/env bash
# Readies wine for a test run: one wineserver kept for the whole run, so test
# processes that start and end side by side never meet a server that is just
# shutting down ("recvmsg: Connection reset by peer"), and the prefix made or
# brought up to date once, before the tests start.
# usage: wine_prefix.sh EMULATOR...   (its last word is the wine loader)
set -euo pipefail
loader=${*: -1}
env=("${@:1:$#-1}") # the environment words before the loader, if any
server=$(dirname "$loader")/wineserver
[ -x "$loader" ] || { echo "no wine loader at $loader (is wine32/wine64 installed?)" >&2; exit 1; }

# A prefix of the build's own (WINEPREFIX given) serves this build only: what
# an earlier, interrupted run left running in it is ended first.
if printf '%s\n' "${env[@]}" | grep -q '^WINEPREFIX='; then
  "${env[@]}" "$server" -k 2>/dev/null || true
  timeout 10 "${env[@]}" "$server" -w 2>/dev/null || true
fi

# A process that outlives this script must not hold the test's output, or
# ctest would wait for it: the server and the prefix's own processes.
start_server() { "${env[@]}" "$server" -p 60 </dev/null >/dev/null 2>&1; }
if ! start_server; then
  # A server runs already (a shared prefix). One that is only ending is
  # waited for and replaced; one that stays is used as it is.
  if timeout 10 "${env[@]}" "$server" -w; then
    start_server
  fi
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$@" wineboot -i </dev/null >"$log" 2>&1; then
  cat "$log" # e.g. a prefix of the other architecture: remove it and run again
  exit 1
fi
echo "wine prefix ready: ${env[*]} $loader"
