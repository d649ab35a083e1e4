#!/usr/bin/env bash
# Mutation testing of the native test suite, a developer's tool: plants each
# small fault of scripts/mutants/*.patch in src/, rebuilds, runs the suite and
# says whether a test caught it. The tree is left exactly as it was found.
#   scripts/mutants.sh [--tree DIR] [ID...]
# DIR: the tree to mutate (default: this script's own); ID: a patch's number
# prefix (default: every patch). Builds in DIR/build-mutants.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tree=$(git -C "$here" rev-parse --show-toplevel)
if [ "${1:-}" = --tree ]; then
  tree=$(git -C "$2" rev-parse --show-toplevel) || exit 2
  shift 2
fi
build=$tree/build-mutants
logs=$build/mutant-logs
patches=()
if [ $# -eq 0 ]; then
  patches=("$here"/mutants/*.patch)
else
  for id in "$@"; do patches+=("$here"/mutants/"$id"-*.patch); done
fi

applied=""
revert() {
  [ -n "$applied" ] && git -C "$tree" apply -R "$applied"
  applied=""
}
trap revert EXIT
trap 'revert; exit 130' INT TERM

build() { ninja -C "$build" -j2 >"$1" 2>&1; }
# The quick unit tests first: most faults are caught there in seconds.
ctest_() { ctest --test-dir "$build" --stop-on-failure -j2 --timeout 120 "$@"; }
suite() { { ctest_ -R '^unit\.' && ctest_ -E '^unit\.'; } >"$1" 2>&1; }

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$tree" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf -DHUB_BUILD_BENCH=OFF >/dev/null || exit 1
fi
mkdir -p "$logs"
# Without a fault every test must pass, or every mutant would look caught.
if ! build "$logs/clean-build.log" || ! suite "$logs/clean-test.log"; then
  echo "the suite fails without a mutant; see $logs/clean-*.log" >&2
  exit 1
fi

caught=0 missed=0 nobuild=0
for patch in "${patches[@]}"; do
  id=$(basename "$patch" .patch)
  if [ ! -f "$patch" ]; then
    echo "no patch $id" >&2
    continue
  fi
  if ! git -C "$tree" apply "$patch" 2>"$logs/$id.build.log"; then
    echo "nobuild $id (does not apply)"
    nobuild=$((nobuild + 1))
    continue
  fi
  applied=$patch
  rm -f "$logs/$id.test.log"
  build "$logs/$id.build.log"; built=$?
  [ $built -ne 0 ] || suite "$logs/$id.test.log"; passed=$?
  # ninja and ctest catch Ctrl-C and exit normally, so bash runs no trap.
  if grep -qsE 'interrupted by user|\(INTERRUPT\)$' "$logs/$id".*.log; then
    echo "interrupted at $id" >&2
    exit 130
  elif [ $built -ne 0 ]; then
    echo "nobuild $id"
    nobuild=$((nobuild + 1))
  elif [ $passed -eq 0 ]; then
    echo "MISSED $id"
    missed=$((missed + 1))
  else
    first=$(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*(\*\*\*|Failed|Timeout|Exception).*/\1/p' \
      "$logs/$id.test.log" | head -n 1)
    echo "caught $id ${first:-(see $logs/$id.test.log)}"
    caught=$((caught + 1))
  fi
  revert
done
echo "mutants: $caught caught, $missed missed, $nobuild not built"
