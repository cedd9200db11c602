#!/usr/bin/env bash
# Builds the Debian package from the release preset and prints its path:
# the module directory under /opt/qel-object-tracker/module, qel-track in
# /usr/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake --preset release >&2
cmake --build --preset release >&2
dir=build/release
rm -f "$dir"/qel-object-tracker_*.deb
(cd "$dir" && cpack -G DEB >&2)
deb=$(ls "$dir"/qel-object-tracker_*.deb)
realpath "$deb"
