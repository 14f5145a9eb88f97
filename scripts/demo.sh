#!/usr/bin/env bash
# The main job: builds the module (Linux preset) if needed and runs the demo.
set -euo pipefail
CE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$CE_ROOT"
. scripts/lib.sh

ensure_project_packages
build_preset linux
say "Running the demo"
exec build/linux/bin/cehost demo "$@"
