#!/usr/bin/env bash
# Configures and builds the off-board hub in build/: the hub reads "hub.conf"
# from its working directory instead of the board's /mnt/nand/conf/hub.conf.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf "$@" >/dev/null
ninja -C "$build"
