#!/usr/bin/env bash
# Benchmarks the hub: builds a Release hub, the end-to-end benchmark and the
# micro-benchmarks in build-bench/, then runs hub_bench (the real hub on
# device sockets and a TCP client, beside a floor doing the same work per
# frame, measured in the same run), its board profile (one core, frames at
# the bus's pace, 60 s trials) and hub_micro. Arguments go to both hub_bench
# runs; --smoke makes every count tiny and runs the micro-benchmarks briefly.
#   ./scripts/bench.sh            full run, about 15 minutes
#   ./scripts/bench.sh --smoke    a few seconds
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
"$root/scripts/install-deps.sh" >&2
cmake -S "$root" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf -DCMAKE_BUILD_TYPE=Release -DHUB_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" hub hub_bench hub_alloc_count hub_micro >&2

min_time=0.5
for a in "$@"; do [ "$a" = --smoke ] && min_time=0.01; done
"$build/bench/hub_bench" "$@"
"$build/bench/hub_bench" --profile board "$@"
echo
echo "micro-benchmarks (hub_core, tracing off):"
"$build/bench/hub_micro" --benchmark_min_time="$min_time"
