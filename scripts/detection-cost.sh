#!/usr/bin/env bash
# The neural detection stage against OpenCV's bare forward pass of the same
# network, and one stream's CPU at 640x360, 10 frames a second, detector
# every 7th frame; from one run of detection_bench on one core (CPU time,
# medians of 5 repetitions, interleaved so that a busy spell of the machine
# does not fall on one benchmark only). Builds the benchmark first.
# Usage: scripts/detection-cost.sh [core, default 1] [more benchmark flags]
set -euo pipefail
cd "$(dirname "$0")/.."
core=${1:-1}
shift || true
cmake --preset release >/dev/null
cmake --build --preset release --target detection_bench
out=$(mktemp)
trap 'rm -f "$out"' EXIT
taskset -c "$core" build/release/bin/detection_bench \
  --benchmark_filter='BM_(BareForward|DetectionStage|StageOverhead|FollowFrame)' \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$out" --benchmark_out_format=json "$@"
/usr/bin/python3 - "$out" <<'PY'
import json, sys

ms = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
median = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        median[b["run_name"]] = b["cpu_time"] * ms[b["time_unit"]]

print("\nCPU time, medians of 5 repetitions")
for size in ("768/height:576", "640/height:360", "1920/height:1080"):
    bare = median[f"BM_BareForward/width:{size}"]
    stage = median[f"BM_DetectionStage/width:{size}"]
    overhead = median[f"BM_StageOverhead/width:{size}/part:0"]
    print(f"width:{size:18} bare forward {bare:7.2f} ms  detection stage {stage:7.2f} ms  "
          f"ratio {stage / bare:.3f}  (bare + overhead {overhead:.2f} ms: {(bare + overhead) / bare:.3f})")
stage = median["BM_DetectionStage/width:640/height:360"]
follow = median["BM_FollowFrame"]
frame = stage / 7 + follow
core = frame * 10 / 1000
print(f"640x360 stream: detection {stage:.2f} ms / 7 + follow frame {follow:.2f} ms = {frame:.2f} ms a frame; "
      f"x 10 fps = {core * 100:.1f}% of a core; 2 cores carry {2 / core:.1f} streams")
PY
