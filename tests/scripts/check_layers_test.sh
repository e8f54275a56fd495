#!/usr/bin/env bash
# The layer check passes on the tree and fails on each kind of fault planted
# in a temporary copy: an upward include, an include of a peer, Qt below the
# user interface, and a tool including the tests.
set -euo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts"
cp -r "$root/src" "$root/tools" "$work/"
cp "$root/scripts/check-layers.sh" "$work/scripts/"
check() { bash "$work/scripts/check-layers.sh" "$work" > "$work/out.txt" 2>&1; }

check || { cat "$work/out.txt"; echo "FAIL: the tree itself does not pass"; exit 1; }

# Each case: a file, a line to add to it, the text the report must show.
expect_failure() {
  local file=$1 line=$2 shown=$3
  cp "$work/$file" "$work/saved"
  printf '%s\n' "$line" >> "$work/$file"
  if check; then echo "FAIL: '$line' in $file passed"; exit 1; fi
  grep -qF "$shown" "$work/out.txt" || { cat "$work/out.txt"; echo "FAIL: report lacks '$shown'"; exit 1; }
  cp "$work/saved" "$work/$file"
  check || { cat "$work/out.txt"; echo "FAIL: still failing after removing '$line'"; exit 1; }
}
expect_failure src/dng/core/dng_rect.cpp '#include "dng/image/dng_image.h"' "src/dng/core/dng_rect.cpp"
expect_failure src/platform/Log.cpp '#include "engine/TiledEngine.h"' "platform includes engine/TiledEngine.h"
expect_failure src/engine/TiledEngine.h '  #  include "document/MyDocument.h"' "src/engine/TiledEngine.h"
expect_failure src/raw/DemosaicTiles.h '#include "color/../engine/TileMap.h"' "raw includes engine/TileMap.h"
expect_failure src/color/ColorHelper.cpp '#include "../raw/ImageWrapper.h"' "color includes raw/ImageWrapper.h"
expect_failure src/engine/TileMap.cpp '#include "photocd/pcdCodec.h"' "src/engine/TileMap.cpp"
expect_failure src/document/MyDocument.cpp '#include <QString>' "Qt included outside"
expect_failure tools/make_test_chart.cpp '#include "../tests/support/TestSupport.h"' "tools/ includes tests/"
# Going down and within a folder stays allowed.
printf '%s\n' '#include "platform/Log.h"' '#include "engine/TileMap.h"' >> "$work/src/engine/TiledEngine.h"
check || { cat "$work/out.txt"; echo "FAIL: a downward include was refused"; exit 1; }
echo "layer check: ok"
