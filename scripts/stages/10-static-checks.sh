#!/usr/bin/env bash
# The weight of the tests (at most 40% of the rest), then clang-tidy and
# cppcheck over src/ and tools/ with the native build's flags; any finding fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}

# Weight: non-blank lines of the files git tracks that end in .cpp .cc .h .hpp
# .c .sh .py .lua .cmake or are named CMakeLists.txt. Test code is tests/,
# fuzz/ and scripts/stages/; the rest is src/, tools/, bench/, the other
# scripts/, packaging/, cmake/ and the top CMakeLists.txt.
lines() {
  git -C "$root" ls-files -z -- "$@" | grep -zE '(\.(cpp|cc|h|hpp|c|sh|py|lua|cmake)|(^|/)CMakeLists\.txt)$' |
    (cd "$root" && xargs -0r cat) | grep -cv '^[[:space:]]*$' || true
}
status=0
tests=$(lines tests fuzz scripts/stages)
rest=$(lines src tools bench packaging cmake CMakeLists.txt scripts ':!scripts/stages')
percent=$(( tests * 100 / rest ))
echo "weight: test code $tests lines, the rest $rest lines: $percent% (at most 40%)"
if [ $(( tests * 100 )) -gt $(( rest * 40 )) ]; then
  echo "weight: FAILED: test code is more than 40% of the rest" >&2
  status=1
fi

"$root/scripts/install-deps.sh" clang-tidy cppcheck
command -v python3 >/dev/null || "$root/scripts/install-deps.sh" python3-minimal

# The database comes with the native build; configuring is enough to make it.
if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$root/scripts/static/project-compile-db.py" \
  "$build/compile_commands.json" "$root" "$work" src tools > "$work/files"
echo "static checks: $(wc -l < "$work/files") source files"

# clang-tidy is slow: one process per file, as many at a time as there are
# cores. Its "N warnings generated." counts are about system headers only.
start=$(date +%s) tidy=clean
if ! xargs -P "$(nproc)" -n 1 clang-tidy -p "$work" --quiet --extra-arg=-Wno-unknown-warning-option \
     < "$work/files" > "$work/tidy.log" 2>&1; then
  status=1 tidy=FINDINGS
fi
grep -v 'warnings\? generated\.$' "$work/tidy.log" || true
echo "clang-tidy: $tidy in $(( $(date +%s) - start )) s"

start=$(date +%s)
if ! cppcheck --project="$work/compile_commands.json" \
     --enable=warning,style,performance,portability --std=c++20 --library=posix \
     --inline-suppr --suppressions-list="$root/.cppcheck-suppressions" \
     -j "$(nproc)" --quiet --error-exitcode=1 \
     --template='{file}:{line}: {severity}: {message} [{id}]'; then
  status=1
  echo "cppcheck: FINDINGS"
else
  echo "cppcheck: clean in $(( $(date +%s) - start )) s"
fi

exit $status
