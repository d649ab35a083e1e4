#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the native
# suite, then each further stage in scripts/stages/ in name order (a stage
# installs what it needs itself and fails the run when it fails).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
ctest --test-dir "${BUILD_DIR:-$root/build}" --output-on-failure -j "$(nproc)"
for stage in "$root"/scripts/stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "== stage $(basename "$stage" .sh)"
  start=$(date +%s)
  bash "$stage"
  echo "== stage $(basename "$stage" .sh) passed in $(( $(date +%s) - start )) s"
done
