#!/usr/bin/env bash
# The main job: builds the module (Linux preset) if needed and runs the demo.
set -euo pipefail
CE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$CE_ROOT"
. scripts/lib.sh

ensure_project_packages
build_preset linux
say "Running the demo"
if [ -x build/linux/bin/cehost ]; then
  exec build/linux/bin/cehost demo "$@"
fi
exec build/linux/bin/ce-info build/linux/lib/libce_kestrel.so
