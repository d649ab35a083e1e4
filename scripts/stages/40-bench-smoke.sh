#!/usr/bin/env bash
# The benchmarks run tiny from build/ (not a measurement: scripts/bench.sh):
# they must complete and print their whole table.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

cmake -S "$root" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf >/dev/null
ninja -C "$build" hub hub_bench hub_alloc_count hub_micro >/dev/null
{ "$build/bench/hub_bench" --smoke && "$build/bench/hub_bench" --profile board --smoke &&
  "$build/bench/hub_micro" --benchmark_min_time=0.01; } | tee "$out"

missing=0
for row in 'metric ' 'idle CPU, % of one core' 'CAN->PC latency p50' 'CAN->PC latency p99' 'CAN->PC latency max' \
           'PC->CAN latency p50' 'PC->CAN latency p99' 'PC->CAN latency max' 'CAN->PC closed loop' \
           'PC->CAN closed loop' 'peak RSS (VmHWM)' 'heap allocations after start-up' \
           '4500/s, 1 core' '9000/s, 2 cores' 'CPU per frame, us' 'frame->PC record p99' 'frame->acknowledgement p99' \
           'BM_hub_to_pc_checksum' 'BM_hub_to_pc_seal' 'BM_can_ring_send_and_pass' 'BM_pc_dispatch_kv_ma' \
           'BM_can_dispatch_exam_param'; do
  if ! grep -qF -- "$row" "$out"; then
    echo "bench smoke: no line with '$row' in the output" >&2
    missing=1
  fi
done
[ "$missing" = 0 ]
echo "bench smoke: the benchmark ran and printed its table"
