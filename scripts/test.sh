#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh" "$root/build"
bash "$root/scripts/check-layers.sh" "$root" "$root/build/layers.txt"
cd "$root/build"
ctest --output-on-failure -j "$(nproc)"
