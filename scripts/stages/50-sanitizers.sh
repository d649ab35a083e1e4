#!/usr/bin/env bash
# Sanitizer stage: the whole test suite (the hub and every tool the tests
# start built the same way) built with Clang and run twice, two tests at a
# time, each in its own build folder:
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer
#                (-fno-sanitize-recover=all), LeakSanitizer at every normal
#                exit where it works here;
#   build-tsan/  ThreadSanitizer.
# Every report of any process (a test, the hub, a tool) goes to a log file;
# the stage fails on a failed test or on any report at all. The harness
# starts the hub with the test's environment, so the *_OPTIONS reach it too.
# Leaks of the hub: a hub ended by SIGTERM runs no exit handlers, so
# LeakSanitizer runs only at its own exits; leaks while it runs are ruled out
# by the fault tests (no heap call after start-up, same memory after storms).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
jobs=${SANITIZER_TEST_JOBS:-2}

"$root/scripts/install-deps.sh" clang-14 libclang-rt-14-dev llvm-14 flex dpkg-dev

symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
common="-O1 -gline-tables-only -fno-omit-frame-pointer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The allocation tests skip themselves under every sanitizer (a sanitizer's
# allocator cannot be replaced by a preloaded probe); nothing else is left out.

# Does a runtime work on this machine? A tiny program built with `flags`
# and run with `env`.
runtime_works() {
  local flags=$1; shift
  printf '#include <stdlib.h>\nint main(void){void *p = malloc(8); free(p); return 0;}\n' >"$work/probe.c"
  # shellcheck disable=SC2086  # a list of flags
  clang-14 $flags "$work/probe.c" -o "$work/probe" 2>/dev/null && env "$@" "$work/probe" >/dev/null 2>&1
}

configure_and_build() {
  local build=$1 flags=$2 sanitize=$3
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja \
    -DHUB_CONFIG_FILE=hub.conf -DHUB_BUILD_TESTS=ON -DHUB_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=None \
    "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=$sanitize" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=$sanitize" >/dev/null
  ninja -C "$build"
}

# ctest in `build` with `logs` as the report folder; the rest are the
# exclusion regexes. Fails on a failed test or on any report.
run_suite() {
  local name=$1 build=$2 logs=$3; shift 3
  local args=(--test-dir "$build" --output-on-failure -j "$jobs" --timeout 300)
  if [ $# -gt 0 ]; then
    args+=(-E "$(IFS='|'; echo "$*")")
    echo "$name: left out: $*"
  fi
  local status=0
  "${launch[@]}" ctest "${args[@]}" | tee "$work/$name.ctest" || status=$?
  local reports
  reports=$(find "$logs" -type f | sort)
  if [ -n "$reports" ]; then
    echo "$name: sanitizer reports:" >&2
    for f in $reports; do
      echo "---- $f" >&2
      cat "$f" >&2
    done
    status=1
  fi
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$work/$name.ctest" | tail -1), $(echo -n "$reports" | grep -c . || true) sanitizer reports")
  return $status
}

summary=()
launch=()

# ---- AddressSanitizer + UndefinedBehaviorSanitizer ----
asan_logs=$work/asan-logs
mkdir -p "$asan_logs"
leaks=1
if ! runtime_works "-fsanitize=address" ASAN_OPTIONS=detect_leaks=1; then
  leaks=0
  echo "asan: LeakSanitizer does not run on this machine; leak checking is off"
fi
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=$leaks:log_path=$asan_logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$asan_logs/ubsan"
export ASAN_SYMBOLIZER_PATH=$symbolizer UBSAN_SYMBOLIZER_PATH=$symbolizer
# The fuzzing stage builds its harnesses in this same folder with the same
# flags (coverage for libFuzzer included) and the same instrumented
# libconfuse, so the hub's code is compiled once for both.
asan_flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all $common"
if "$root/fuzz/build-libconfuse.sh" "$root/build-asan/libconfuse" clang-14 "$asan_flags"; then
  export PKG_CONFIG_PATH=$root/build-asan/libconfuse/lib/pkgconfig
fi
configure_and_build "$root/build-asan" "$asan_flags" address,undefined
unset PKG_CONFIG_PATH
status=0
run_suite asan+ubsan "$root/build-asan" "$asan_logs" || status=1
unset ASAN_OPTIONS UBSAN_OPTIONS

# ---- ThreadSanitizer ----
tsan_logs=$work/tsan-logs
mkdir -p "$tsan_logs"
# Older ThreadSanitizer runtimes cannot map their shadow under some kernels'
# address randomisation; then the suite runs with it turned off.
if ! runtime_works "-fsanitize=thread" TSAN_OPTIONS=; then
  if command -v setarch >/dev/null && runtime_works "-fsanitize=thread" setarch "$(uname -m)" -R; then
    launch=(setarch "$(uname -m)" -R)
    echo "tsan: running with address randomisation off (setarch -R)"
  else
    echo "tsan: ThreadSanitizer does not run on this machine" >&2
    exit 1
  fi
fi
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:external_symbolizer_path=$symbolizer:log_path=$tsan_logs/tsan"
configure_and_build "$root/build-tsan" "-fsanitize=thread $common" thread
run_suite tsan "$root/build-tsan" "$tsan_logs" || status=1
unset TSAN_OPTIONS

printf '%s\n' "${summary[@]}"
exit $status
