#!/usr/bin/env bash
# The main job against the peers: a 25-megapixel 16-bit CFA DNG (a 4 x 4
# tiling of a real sensor file from the test data) developed to JPEG by
# quorvex, rawtherapee-cli and darktable-cli, best of 3 runs each, on all
# cores and pinned to two. Prints seconds, peak resident memory and quorvex's
# ratio to the faster peer.
# Usage: bench/main_job.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${RUNS:-3}
quorvex=$build/quorvex
source "$root/bench/tiled_dng.sh"

source "$root/bench/timing.sh"

declare -A commands
export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data
mkdir -p "$HOME"
commands[quorvex]="$build/quorvex --export --out @OUT@ $dng"
if command -v rawtherapee-cli >/dev/null; then
  commands[rawtherapee]="rawtherapee-cli -j90 -Y -o @OUT@/rt.jpg -c $dng"
else
  echo "rawtherapee-cli not installed (Debian package rawtherapee): skipped"
fi
if command -v darktable-cli >/dev/null; then
  mkdir -p "$work/dtconf"
  commands[darktable]="darktable-cli $dng @OUT@/dt.jpg --core --configdir $work/dtconf"
else
  echo "darktable-cli not installed (Debian package darktable): skipped"
fi

for pin in all 2; do
  prefix=()
  [ "$pin" = 2 ] && prefix=(taskset -c 0,1)
  echo "== ${pin} cores, best of $runs =="
  fastest_peer=""
  declare -A secs=()
  for name in quorvex rawtherapee darktable; do
    [ -n "${commands[$name]:-}" ] || continue
    # shellcheck disable=SC2206
    cmd=(${commands[$name]})
    read -r s mb < <(best_of "${prefix[@]}" "${cmd[@]}")
    printf "%-12s %8s s %8s MB\n" "$name" "$s" "$mb"
    secs[$name]=$s
    if [ "$name" != quorvex ] && [ "$s" != fail ]; then
      if [ -z "$fastest_peer" ] || awk "BEGIN{exit !($s < ${secs[$fastest_peer]})}"; then
        fastest_peer=$name
      fi
    fi
  done
  if [ -n "$fastest_peer" ] && [ "${secs[quorvex]}" != fail ]; then
    awk -v q="${secs[quorvex]}" -v p="${secs[$fastest_peer]}" -v n="$fastest_peer" \
      'BEGIN{printf "quorvex / %s = %.2f\n", n, q / p}'
  fi
done
