#!/usr/bin/env bash
# A folder run over a camera's card of small raw + JPEG pairs (the JPEG
# files passed over, every raw file developed): seconds to the first export
# written and for the whole run, for 1,000, 8,000 and 32,000 files (half of
# them raw files). A second build folder is run beside the first for
# before/after figures. The raw files are links to one small chart, the
# JPEG files to one camera JPEG (any other program's Software tag).
# Usage: bench/big_card.sh [BUILD_DIR [OTHER_BUILD_DIR]] [-- SIZES...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
builds=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do builds+=("$1"); shift; done
[ $# -gt 0 ] && shift
sizes=("$@")
[ ${#builds[@]} -gt 0 ] || builds=("$root/build")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 8000 32000)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data
export XDG_STATE_HOME=$work/home/state

"${builds[0]}/tools/make_test_chart" --size 120x80 --output "$work/chart.dng" >/dev/null
"${builds[0]}/quorvex" --out "$work" "$work/chart.dng" >/dev/null 2>&1
sed -i 's/Quorvex V/Camera  V/' "$work/chart.jpg"

card() {  # makes $work/card with $1 files
  rm -rf "$work/card"
  mkdir -p "$work/card"
  local i name
  for ((i = 1; i <= $1 / 2; i++)); do
    printf -v name 'IMG_%05d' "$i"
    ln "$work/chart.dng" "$work/card/$name.dng"
    ln "$work/chart.jpg" "$work/card/$name.JPG"
  done
}

run() {  # prints "first export S s, whole run S s, N written"
  local start first end written
  rm -rf "$XDG_DATA_HOME" "$XDG_STATE_HOME"
  start=$(date +%s.%N)
  written=$("$1/quorvex" --out "$work/out" "$work/card" 2>"$work/err" | {
    read -r line && date +%s.%N >"$work/first"
    echo $(( $(wc -l) + 1 ))
  })
  end=$(date +%s.%N)
  first=$(cat "$work/first" 2>/dev/null || echo "$end")
  rm -rf "$work/out" "$work/first"
  awk -v s="$start" -v f="$first" -v e="$end" -v n="$written" \
    'BEGIN { printf "first export %.2f s, whole run %.1f s, %d written\n", f - s, e - s, n }'
  if [ -s "$work/err" ]; then echo "  stderr: $(head -c 300 "$work/err")"; fi
}

for n in "${sizes[@]}"; do
  card "$n"
  for build in "${builds[@]}"; do
    echo "$n files, $build: $(run "$build")"
  done
done
