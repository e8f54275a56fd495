#!/usr/bin/env bash
# The command line with a large catalog: one export and a batch of 11, with
# catalogs of 0, 20,000 and 100,000 photos (made by bench_catalog_store,
# the exported images' entries among them), in our layout and with the
# document type line standard writers put in. Prints seconds and peak
# resident memory per run.
# Usage: bench/catalog_cli.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data
export XDG_STATE_HOME=$work/home/state
mkdir -p "$work/images" "$work/out" "$XDG_DATA_HOME/Quorvex/Catalog"
src=$root/../shared/testdata/raw/dng/rpi-imx296_10bit-packed_strip.dng
images=()
for i in $(seq -w 1 11); do
  cp "$src" "$work/images/photo$i.dng"
  images+=("$work/images/photo$i.dng")
done
catalog=$XDG_DATA_HOME/Quorvex/Catalog/QuorvexCatalog.plist

run() {  # prints "seconds peak-MB"
  /usr/bin/time -f "%e %M" -o "$work/time" "$build/quorvex" --export --out "$work/out" "$@" \
    >/dev/null 2>"$work/err" || { echo "failed: $(cat "$work/err")"; return; }
  rm -f "$work"/out/*
  awk '{printf "%s s %d MB\n", $1, $2 / 1024}' "$work/time"
}

for entries in 0 20000 100000; do
  rm -f "$catalog"
  [ "$entries" -gt 0 ] && "$build/bench/bench_catalog_store" --make-catalog "$entries" "$catalog" "${images[@]}"
  size=0; [ -f "$catalog" ] && size=$(( $(stat -c %s "$catalog") / 1000000 ))
  echo "catalog $entries entries ($size MB): 1 file: $(run "${images[0]}"); 11 files: $(run "${images[@]}")"
  if grep -q "saved settings" "$work/err"; then echo "  warning: $(head -1 "$work/err")"; fi
  [ "$entries" -gt 0 ] || continue
  sed -i '1a <!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">' "$catalog"
  echo "  with a document type: 1 file: $(run "${images[0]}"); 11 files: $(run "${images[@]}")"
done
