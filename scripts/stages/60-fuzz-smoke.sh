#!/usr/bin/env bash
# Fuzzing smoke: the libFuzzer harnesses of fuzz/, built in build-asan/ as the
# sanitizer stage builds the hub (instrumented libconfuse included), each run
# FUZZ_SECONDS from its seed corpus, the three at once. Any crash, leak,
# timeout or report fails; the input is kept in build-asan/artifacts/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-asan}
seconds=${FUZZ_SECONDS:-15}
harnesses=(pc_dispatch can_dispatch config)

"$root/scripts/install-deps.sh" clang-14 libclang-rt-14-dev llvm-14 flex dpkg-dev

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -O1 -gline-tables-only -fno-omit-frame-pointer"
confuse="libconfuse not instrumented (its source could not be had)"
"$root/fuzz/build-libconfuse.sh" "$build/libconfuse" clang-14 "$flags" &&
  export PKG_CONFIG_PATH="$build/libconfuse/lib/pkgconfig" && confuse="libconfuse instrumented"

# A fresh cache, so the parser library is looked up again.
rm -f "$build/CMakeCache.txt"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja \
  -DHUB_CONFIG_FILE=hub.conf -DHUB_BUILD_TESTS=OFF -DHUB_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=None \
  "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
ninja -C "$build" "${harnesses[@]/#/fuzz_}"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work  # the harnesses' scratch folders: gone even after a crash
artifacts=$build/artifacts
rm -rf "$artifacts"
mkdir -p "$artifacts"

declare -A pid
for h in "${harnesses[@]}"; do
  mkdir -p "$work/$h"
  extra=()
  [ "$h" = config ] && extra+=(-close_fd_mask=2)  # libconfuse prints every syntax error
  # New inputs go to the scratch corpus (first); the seeds are only read.
  "$build/fuzz/fuzz_$h" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$h-" "${extra[@]}" "$work/$h" "$root/fuzz/corpus/$h" >"$work/$h.log" 2>&1 &
  pid[$h]=$!
done

failed=0
printf '%-14s %12s %10s %8s %8s\n' harness executions exec/s corpus result
for h in "${harnesses[@]}"; do
  if wait "${pid[$h]}"; then result=ok; else result=FAILED; failed=1; fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$h.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$h.log")
  corpus=$(find "$work/$h" -type f | wc -l)
  printf '%-14s %12s %10s %8s %8s\n' "$h" "${execs:-?}" "${rate:-?}" "$corpus" "$result"
  [ "$result" = ok ] || { echo "---- fuzz_$h (last 80 lines) ----" >&2; tail -n 80 "$work/$h.log" >&2; }
done
echo "fuzz smoke: ${seconds} s per harness, $confuse"
[ "$failed" = 0 ] || { echo "fuzz smoke: failing inputs are in $artifacts" >&2; exit 1; }
rmdir "$artifacts" 2>/dev/null || true
