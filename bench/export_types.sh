#!/usr/bin/env bash
# Every export type of the main job: the 25-megapixel 16-bit CFA DNG (a 4 x 4
# tiling of a real sensor file from the test data) exported by the command
# line as JPEG (no preset, and the "Default" preset, which holds the same
# settings), 16-bit TIFF, DNG and OpenEXR (half and float, RGB and RGBA), on
# all cores and pinned to two. Prints the best wall time of N runs, the user
# plus system seconds of that run and the largest peak resident memory seen.
# Usage: bench/export_types.sh [BUILD_DIR] [RUNS]   (defaults: build, 3)
#   QUORVEX=/path/to/quorvex times another binary with the same file.
#   CASES="jpeg tiff" limits the cases (names as printed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
quorvex=${QUORVEX:-$build/quorvex}
source "$root/bench/tiled_dng.sh"

export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data
export XDG_STATE_HOME=$work/home/state
mkdir -p "$HOME"
# The first run writes the factory presets; each other type is the "Default
# TIFF export" preset with another export type.
"$quorvex" --out "$work" --preset "Default TIFF export" /nonexistent >/dev/null 2>&1 || true
presets=$XDG_DATA_HOME/Quorvex/presets
tiff_preset=$(grep -l "Default TIFF export" "$presets"/*.plist)
make_preset() {  # NAME TYPE
  local uuid
  uuid=$(printf '%08X-0000-4000-8000-%012X' "$2" "$2")
  sed -e "s|Default TIFF export|$1|" \
    -e "/Quorvex_ExportFileType/{n;s|<integer>1</integer>|<integer>$2</integer>|}" \
    -e "s|<string>[0-9A-F-]\{36\}</string>|<string>$uuid</string>|" \
    "$tiff_preset" >"$presets/$uuid.plist"
}
make_preset "Bench DNG" 2
make_preset "Bench EXR half RGBA" 3
make_preset "Bench EXR half RGB" 4
make_preset "Bench EXR float RGBA" 5
make_preset "Bench EXR float RGB" 6

names=(jpeg jpeg-preset tiff dng exr-half-rgba exr-half-rgb exr-float-rgba exr-float-rgb)
declare -A preset=(
  [jpeg]="" [jpeg-preset]="Default" [tiff]="Default TIFF export" [dng]="Bench DNG"
  [exr-half-rgba]="Bench EXR half RGBA" [exr-half-rgb]="Bench EXR half RGB"
  [exr-float-rgba]="Bench EXR float RGBA" [exr-float-rgb]="Bench EXR float RGB")
cases=${CASES:-${names[*]}}

# One run: prints "wall cpu peak-kB"; the output goes to a fresh folder.
run_once() {
  local out=$work/out.$RANDOM
  mkdir -p "$out"
  local args=()
  [ -n "$2" ] && args=(--preset "$2")
  # shellcheck disable=SC2086
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" $1 "$quorvex" "${args[@]}" --out "$out" "$dng" \
    >/dev/null 2>&1 || { echo "fail"; rm -rf "$out"; return; }
  awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$work/time"
  rm -rf "$out"
}

for pin in all 2; do
  prefix=""
  [ "$pin" = 2 ] && prefix="taskset -c 0,1"
  echo "== ${pin} cores, best of $runs =="
  printf "%-16s %8s %8s %8s %10s\n" case "wall s" "cpu s" "peak MB" "vs jpeg"
  jpeg_best=""
  for name in "${names[@]}"; do
    [[ " $cases " == *" $name "* ]] || continue
    best="" cpu="" peak=0
    for _ in $(seq "$runs"); do
      read -r s c kb < <(run_once "$prefix" "${preset[$name]}")
      [ "$s" = fail ] && { best=fail; break; }
      if [ -z "$best" ] || awk "BEGIN{exit !($s < $best)}"; then best=$s; cpu=$c; fi
      [ "$kb" -gt "$peak" ] && peak=$kb
    done
    [ "$name" = jpeg ] && jpeg_best=$best
    ratio=-
    if [ -n "$jpeg_best" ] && [ "$best" != fail ] && [ "$jpeg_best" != fail ]; then
      ratio=$(awk -v a="$best" -v b="$jpeg_best" 'BEGIN{printf "%.2f", a / b}')
    fi
    printf "%-16s %8s %8s %8s %10s\n" "$name" "$best" "${cpu:--}" "$((peak / 1024))" "$ratio"
  done
done
