#!/usr/bin/env bash
# The main job: builds what the demo runs (preset demo: the module, the
# provider stand-in, cehost and kestrel-keys; no tests) if needed and runs
# the demo. Installs only the Debian packages that build needs.
set -euo pipefail
CE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$CE_ROOT"
. scripts/lib.sh

ensure_build_packages
build_preset demo
say "Running the demo"
exec build/demo/bin/cehost demo "$@"
