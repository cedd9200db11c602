#!/usr/bin/env bash
# Installs the dependencies, builds the release preset and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
exec build/release/bin/qel-smoke "$@"
