#!/usr/bin/env bash
# Installs the dependencies, builds the release preset and runs the main job:
# qel-track on a real pedestrian clip (vtest.avi of Debian's opencv-doc), or
# on the arguments given, writing what the host received to
# build/release/main-job.jsonl and the annotated frames to
# build/release/main-job.mp4, and printing the summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
out=build/release/main-job.jsonl
video=build/release/main-job.mp4
if [ $# -eq 0 ]; then
  set -- /usr/share/doc/opencv-doc/examples/data/vtest.avi
fi
build/release/bin/qel-track --output "$out" --annotate "$video" "$@"
echo "qel-track wrote $(wc -l < "$out") records to $out and the annotated frames to $video; summary:"
tail -n 1 "$out"
