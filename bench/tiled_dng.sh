# Sourced by the whole-command benchmarks: checks the tools, then makes the
# 25-megapixel 16-bit CFA DNG (a 4 x 4 tiling of a real sensor file from the
# test data) in a scratch folder removed at exit. Needs root, build and
# quorvex set; sets work and dng.
source_dng=${QUORVEX_TESTDATA:-$root/../shared/testdata}/raw/dng/rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng
for tool in "$quorvex" "$build/tools/tile_dng"; do
  [ -x "$tool" ] || { echo "missing $tool: build first (bash scripts/build.sh build)"; exit 1; }
done
[ -f "$source_dng" ] || { echo "missing $source_dng"; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dng=$work/tiled25mp.dng
"$build/tools/tile_dng" --tiles 4 --input "$source_dng" --output "$dng"
