#!/usr/bin/env bash
# What this machine carries with the neural detector: OpenCV's bare forward
# pass of the network at 640x360's input (512x288, one core, medians of 3),
# then capacity_bench's real-time streams, busy and quiet, 640x360 and
# 1920x1080 at 10 fps, "DetectorStep" 7, then the bare forward pass again;
# and per busy stream the CPU against its network's share (detector runs a
# second x the mean of the two bare forwards), also counted per frame
# whose results came back in the steady state. A shared machine's speed
# drifts over the minutes the streams take: the two bare forwards show by
# how much. Last, the bare forward with both cores at it, as under many
# streams, where the passes share caches and memory: busy streams are also
# set against that.
# With --benchmark_repetitions=N each line is the median of N runs, with
# the range of its CPU.
# Builds the benchmarks first. Run it on an otherwise idle machine.
# Usage: scripts/capacity.sh [capacity_bench flags, e.g. --benchmark_filter=busy:1]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target detection_bench capacity_bench
before=$(mktemp)
after=$(mktemp)
both=$(mktemp)
capacity=$(mktemp)
trap 'rm -f "$before" "$after" "$both" "$capacity"' EXIT
bare_forward() {
  $2 build/release/bin/detection_bench --benchmark_filter="$3" \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$1" --benchmark_out_format=json >/dev/null
}
bare_forward "$before" "taskset -c 1" 'BM_BareForward/width:640/height:360$'
build/release/bin/capacity_bench --benchmark_out="$capacity" --benchmark_out_format=json "$@"
bare_forward "$after" "taskset -c 1" 'BM_BareForward/width:640/height:360$'
bare_forward "$both" "" 'BM_BareForward/width:640/height:360/threads:2'
/usr/bin/python3 - "$before" "$after" "$capacity" "$both" <<'PY'
import json, sys

ms = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
def median(path):
    return [b["cpu_time"] * ms[b["time_unit"]] for b in json.load(open(path))["benchmarks"]
            if b.get("aggregate_name") == "median"][0]
first, last = median(sys.argv[1]), median(sys.argv[2])
bare = (first + last) / 2
both = median(sys.argv[4])
print(f"\nbare forward, 512x288 input: {bare:.1f} ms (before the streams {first:.1f}, after {last:.1f}); "
      f"with both cores at it {both:.1f} ms a pass")
runs_per_second = 10 / 7
busy = {}
busy_done = {}
runs = json.load(open(sys.argv[3]))["benchmarks"]
repeated = any(b.get("aggregate_name") == "median" for b in runs)
spread = {}
for b in runs:
    if b.get("run_type") == "iteration":
        spread.setdefault(b["run_name"], []).append(b["cpu_ms_per_stream_s"])
for b in runs:
    if repeated and b.get("aggregate_name") != "median":
        continue
    args = dict(part.split(":") for part in b["run_name"].split("/")[1:] if ":" in part)
    size = f'{args["width"]}x{args["height"]}'
    kind = "busy" if args["busy"] == "1" else "quiet"
    start = "all at once" if args["ramp"] == "0" else f'over {args["ramp"]} s'
    cpu = b["cpu_ms_per_stream_s"]
    line = (f'{args["streams"]:>3} {kind:5} streams {size:>9}, start {start:11}: {cpu:6.1f} ms CPU a stream-second, '
            f'refused {b["refused"]:.0f} steady / {b["refused_at_start"]:.0f} first 15 s, '
            f'last refusal {b["last_refusal_s"]:.1f} s')
    if repeated:
        line += f' (medians of {len(spread[b["run_name"]])}, CPU {min(spread[b["run_name"]]):.1f} to {max(spread[b["run_name"]]):.1f})'
    if kind == "busy":
        busy.setdefault(size, cpu)
        line += f', {cpu / (runs_per_second * bare):.2f} x the network ({cpu / (runs_per_second * both):.2f} on both cores)'
    elif size in busy:
        line += f', {cpu / busy[size]:.0%} of a busy stream'
    # Streams that fell behind at the start catch up in the steady state:
    # its CPU a frame whose results came back, a stream-second's worth.
    done = b.get("cpu_ms_per_done_frame_x_fps")
    if done is not None:
        line += f'\n    {b["frames_done_share"]:.2f} of the steady frames done, {done:6.1f} ms a done stream-second'
        if kind == "busy":
            busy_done.setdefault(size, done)
            line += f', {done / (runs_per_second * bare):.2f} x the network'
        elif size in busy_done:
            line += f', {done / busy_done[size]:.0%} of a busy stream'
    print(line)
PY
