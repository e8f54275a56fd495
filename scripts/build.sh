#!/usr/bin/env bash
# Configures (once) and builds one build folder incrementally.
# Usage: scripts/build.sh BUILD_DIR [cmake options...] [-- ninja targets...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
opts=(); targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
  opts+=("$1"); shift
done
# Let ccache share results between clones of the repository (CI builds a fresh clone).
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
cmake -S "$root" -B "$dir" -G Ninja -DQUORVEX_WERROR=ON "${opts[@]}" >/dev/null
jobs=$(nproc)
cmake --build "$dir" -j "$jobs" ${targets:+--target "${targets[@]}"}
