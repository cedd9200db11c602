#!/usr/bin/env bash
# Installs the dependencies, builds a preset (default: release) and runs its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
