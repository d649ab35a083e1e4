#!/usr/bin/env bash
# The whole suite built with Clang and run twice, two tests at a time:
# build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer, LeakSanitizer at
# normal exits where it works here) and build-tsan/ (ThreadSanitizer). Every
# report of any process (test, hub, tool: the harness passes *_OPTIONS on)
# goes to a log; the stage fails on a failed test or on any report.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/install-deps.sh" clang-14 libclang-rt-14-dev llvm-14 flex dpkg-dev
symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
common="-O1 -gline-tables-only -fno-omit-frame-pointer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
launch=() summary=() status=0

# runtime_works FLAGS ENV...: a tiny program built with FLAGS runs under ENV.
runtime_works() {
  local flags=$1; shift
  printf '#include <stdlib.h>\nint main(void){void *p = malloc(8); free(p); return 0;}\n' >"$work/probe.c"
  # shellcheck disable=SC2086  # a list of flags
  clang-14 $flags "$work/probe.c" -o "$work/probe" 2>/dev/null && env "$@" "$work/probe" >/dev/null 2>&1
}

# suite NAME BUILD FLAGS SANITIZERS LOGS: builds and runs the suite; fails on a failed test or a report.
suite() {
  local name=$1 build=$2 flags=$3 sanitize=$4 logs=$5 rc=0
  mkdir -p "$logs"
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja \
    -DHUB_CONFIG_FILE=hub.conf -DHUB_BUILD_TESTS=ON -DHUB_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=None \
    "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=$sanitize" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=$sanitize" >/dev/null &&
    ninja -C "$build" || return 1  # (set -e is off inside `suite ... ||`)
  "${launch[@]}" ctest --test-dir "$build" --output-on-failure --no-tests=error -j 2 --timeout 300 | tee "$work/$name.ctest" || rc=1
  local reports
  reports=$(find "$logs" -type f | sort)
  for f in $reports; do echo "---- $name report $f" >&2; cat "$f" >&2; rc=1; done
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$work/$name.ctest" | tail -1), $(echo -n "$reports" | grep -c . || true) sanitizer reports")
  return $rc
}

leaks=1
runtime_works "-fsanitize=address" ASAN_OPTIONS=detect_leaks=1 ||
  { leaks=0; echo "asan: LeakSanitizer does not run on this machine; leak checking is off"; }
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=$leaks:log_path=$work/asan/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$work/asan/ubsan"
export ASAN_SYMBOLIZER_PATH=$symbolizer UBSAN_SYMBOLIZER_PATH=$symbolizer
# The fuzzing stage builds its harnesses in this same folder with the same
# flags and instrumented libconfuse, so the hub is compiled once for both.
asan_flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all $common"
"$root/fuzz/build-libconfuse.sh" "$root/build-asan/libconfuse" clang-14 "$asan_flags" &&
  export PKG_CONFIG_PATH=$root/build-asan/libconfuse/lib/pkgconfig
suite asan+ubsan "$root/build-asan" "$asan_flags" address,undefined "$work/asan" || status=1
unset ASAN_OPTIONS UBSAN_OPTIONS PKG_CONFIG_PATH

# Older ThreadSanitizer runtimes cannot map their shadow under some kernels'
# address randomisation: then the suite runs with it turned off.
if ! runtime_works "-fsanitize=thread" TSAN_OPTIONS=; then
  runtime_works "-fsanitize=thread" setarch "$(uname -m)" -R ||
    { echo "tsan: ThreadSanitizer does not run on this machine" >&2; exit 1; }
  launch=(setarch "$(uname -m)" -R)
  echo "tsan: running with address randomisation off (setarch -R)"
fi
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:external_symbolizer_path=$symbolizer:log_path=$work/tsan/tsan"
suite tsan "$root/build-tsan" "-fsanitize=thread $common" thread "$work/tsan" || status=1

printf '%s\n' "${summary[@]}"
exit $status
