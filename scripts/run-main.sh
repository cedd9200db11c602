#!/usr/bin/env bash
# Installs the dependencies, builds the release preset and runs the main job:
# qel-track on its built-in scene (or on the arguments given), writing what
# the host received to build/release/main-job.jsonl and printing the summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
out=build/release/main-job.jsonl
build/release/bin/qel-track --output "$out" "$@"
echo "qel-track wrote $(wc -l < "$out") records to $out; summary:"
tail -n 1 "$out"
