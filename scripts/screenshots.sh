#!/usr/bin/env bash
# Pictures of real windows: runs the GUI suite's screenshot tests on a virtual
# X server and leaves PNG files in BUILD_DIR/screenshots.
# Usage: scripts/screenshots.sh [BUILD_DIR] [gtest filter]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
filter=${2:-Screenshots.*}
cd "$root"
QT_QPA_PLATFORM=xcb QUORVEX_SCREENSHOTS="$build/screenshots" QUORVEX_TESTDATA="$root/../shared/testdata" \
  xvfb-run -a -s "-screen 0 1600x1200x24" "$build/tests/test_ui" --gtest_filter="$filter"
ls "$build/screenshots"
