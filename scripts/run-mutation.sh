#!/usr/bin/env bash
# The mutation check: plants every fault of tests/mutation/mutants.py in a
# copy of the tree, one at a time, and fails when the suite lets one through.
# The tool lives beside the repository; a machine without it skips the check.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=../shared/tools/mutate
if [[ ! -x "$tool" ]]; then
  echo "mutation check skipped: $tool is not on this machine"
  exit 0
fi
exec "$tool" tests/mutation/mutants.py .
