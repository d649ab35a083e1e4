#!/usr/bin/env bash
# Where one exam frame's time goes on one core: runs one board trial per
# target (hub, floor1, floor2) and attaches, in turn, perf stat (software
# events: CPU clock, context switches, migrations) and strace -c (system calls
# per thread and call) to the target while it runs. Figures per frame are the
# counts divided by the frames the trial sent; strace slows the target, so
# its run is only for counting calls.
#   bench/profile_frame_path.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
seconds=${2:-10}
rate=4500
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Starts a one-core trial of $1 in the background; waits until its target
# is ready (its pid printed: the trial starts then) and sets $pid to it.
start_trial() {
  "$build/bench/hub_bench" --profile board --target "$1" --cores 1 --rate "$rate" --trial-seconds "$seconds" \
    >"$work/$1.out" 2>"$work/$1.err" &
  bench=$!
  pid=
  for _ in $(seq 400); do
    pid=$(sed -n 's/.* pid \([0-9]*\)$/\1/p' "$work/$1.err")
    [ -n "$pid" ] && return
    kill -0 "$bench" 2>/dev/null || break
    sleep 0.05
  done
  cat "$work/$1.err" >&2
  exit 1
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for who in floor1 floor2 hub; do
  start_trial "$who"
  perf stat -e task-clock,context-switches,cpu-migrations -p "$pid" -- sleep "$((seconds - 2))" 2>"$work/perf" || true
  wait "$bench"
  echo "== $who: perf stat over $((seconds - 2)) s of a $rate/s trial (about $((rate * (seconds - 2))) frames)"
  grep -E 'task-clock|context-switches|cpu-migrations' "$work/perf"
  start_trial "$who"
  timeout -s INT "$((seconds - 2))" strace -c -f -p "$pid" -o "$work/strace" || true
  wait "$bench"
  echo "== $who: system calls over $((seconds - 2)) s (strace -c -f)"
  cat "$work/strace"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
