#!/usr/bin/env bash
# The layer check passes on the tree and fails on each kind of fault planted
# in a temporary copy: an upward include (quoted or in angle brackets), an
# include of a peer, Qt below the user interface, and a tool including the tests.
# Then the compiler, through the libraries' include roots, finds what a layer
# may include and nothing above it.
# Usage: check_layers_test.sh ROOT LAYERS_FILE CXX INCLUDE_ROOTS
set -euo pipefail
root=$1 layers=$2 cxx=$3 roots=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts"
cp -r "$root/src" "$root/tools" "$work/"
cp "$root/scripts/check-layers.sh" "$work/scripts/"
check() { bash "$work/scripts/check-layers.sh" "$work" "$layers" > "$work/out.txt" 2>&1; }

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
expect_failure src/platform/Log.cpp '#include <engine/TiledEngine.h>' "platform includes engine/TiledEngine.h"
expect_failure src/export/exrWriter.cpp '#include <photocd/pcdCodec.h>' "export includes photocd/pcdCodec.h"
expect_failure src/raw/DemosaicTiles.h '#include "color/../engine/TileMap.h"' "raw includes engine/TileMap.h"
expect_failure src/color/ColorHelper.cpp '#include "../raw/ImageWrapper.h"' "color includes raw/ImageWrapper.h"
expect_failure src/engine/TileMap.cpp '#include "photocd/pcdCodec.h"' "src/engine/TileMap.cpp"
expect_failure src/document/MyDocument.cpp '#include <QString>' "Qt included outside"
expect_failure tools/make_test_chart.cpp '#include "../tests/support/TestSupport.h"' "tools/ includes tests/"
# Going down and within a folder stays allowed.
printf '%s\n' '#include "platform/Log.h"' '#include "engine/TileMap.h"' >> "$work/src/engine/TiledEngine.h"
check || { cat "$work/out.txt"; echo "FAIL: a downward include was refused"; exit 1; }

# The compiler: each case is an include root, a header, and whether it must be found.
compiles() {
  printf '#include <%s>\n' "$2" > "$work/probe.cpp"
  "$cxx" -std=c++20 -fsyntax-only -I "$roots/$1" -I "$(dirname "$layers")/generated" "$work/probe.cpp" \
    > "$work/cc.txt" 2>&1
}
expect_compile() {
  compiles "$1" "$2" || { cat "$work/cc.txt"; echo "FAIL: $1 cannot include $2"; exit 1; }
}
expect_refused() {
  if compiles "$1" "$2"; then echo "FAIL: $1 can include $2"; exit 1; fi
  grep -q "No such file" "$work/cc.txt" || { cat "$work/cc.txt"; echo "FAIL: $1 / $2 failed otherwise"; exit 1; }
}
expect_compile platform platform/Log.h
expect_refused platform engine/TiledEngine.h
expect_refused dng_core dng/image/dng_image.h
expect_compile dng_image dng/core/dng_rect.h
expect_refused color raw/ImageWrapper.h
expect_compile engine raw/ImageWrapper.h
expect_refused export photocd/pcdCodec.h
expect_refused photocd export/exrWriter.h
expect_compile document photocd/pcdCodec.h
expect_refused document ui/AlertPresenter.h
echo "layer check: ok"
