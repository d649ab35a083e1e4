#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing the hub needs;
# packages already installed are skipped. Run as root on Debian 12.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libconfuse-dev libcap-dev libfuse3-dev googletest libgtest-dev libgmock-dev libbenchmark-dev iproute2 "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
