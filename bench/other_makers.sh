#!/usr/bin/env bash
# The makers' own raw formats against the peers: each shared camera file
# (../shared/testdata/raw/other) developed to JPEG by quorvex, rawtherapee-cli
# and darktable-cli, best of 3 runs each. Prints seconds, peak resident
# memory, whether the peer opened the file at all, quorvex's ratio to the
# faster peer, and the share of quorvex's run spent in LibRaw's unpacking
# (from its log).
# Usage: bench/other_makers.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${RUNS:-3}
data=$root/../shared/testdata/raw/other
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data \
  XDG_STATE_HOME=$work/home/state
mkdir -p "$HOME" "$work/dtconf"

source "$root/bench/timing.sh"

printf "%-48s %-12s %8s %8s\n" file program seconds MB
for file in "$data"/*.CRW "$data"/*.KDC; do
  name=$(basename "$file")
  declare -A secs=()
  for program in quorvex rawtherapee darktable; do
    case $program in
      quorvex) cmd=("$build/quorvex" --verbose --out @OUT@ "$file") ;;
      rawtherapee) command -v rawtherapee-cli >/dev/null || continue
        cmd=(rawtherapee-cli -j90 -Y -o @OUT@/rt.jpg -c "$file") ;;
      darktable) command -v darktable-cli >/dev/null || continue
        cmd=(darktable-cli "$file" @OUT@/dt.jpg --core --configdir "$work/dtconf") ;;
    esac
    read -r s mb < <(best_of "${cmd[@]}")
    secs[$program]=$s
    if [ "$program" = quorvex ] && [ "$s" != fail ]; then
      unpack=$(sed -n 's/.*LibRaw: unpacked .* in \([0-9.]*\) s.*/\1/p' "$work/log" | tail -1)
      extra=$(awk -v u="${unpack:-0}" -v t="$s" 'BEGIN{printf "(LibRaw unpack %.3f s, %.0f%%)", u, 100*u/t}')
    else
      extra=""
    fi
    [ "$s" = fail ] && s="(did not open)" && mb=""
    printf "%-48s %-12s %8s %8s %s\n" "$name" "$program" "$s" "$mb" "$extra"
  done
  fastest=""
  for p in rawtherapee darktable; do
    t=${secs[$p]:-fail}
    [ "$t" = fail ] && continue
    if [ -z "$fastest" ] || awk "BEGIN{exit !($t < ${secs[$fastest]})}"; then fastest=$p; fi
  done
  if [ -n "$fastest" ] && [ "${secs[quorvex]}" != fail ]; then
    awk -v q="${secs[quorvex]}" -v p="${secs[$fastest]}" -v n="$fastest" \
      'BEGIN{printf "%-48s quorvex / %s = %.2f\n", "", n, q / p}'
  fi
  unset secs
done
