#!/usr/bin/env bash
# Pictures of real windows on a virtual X server, for a person to look at:
# the GUI suite's screenshot tests leave PNG files in BUILD_DIR/screenshots,
# then scripts/first-minutes.sh drives the real program under a window
# manager as a new user would and leaves one PNG per step in
# BUILD_DIR/screenshots/first-minutes (it fails when a step goes wrong).
# Usage: scripts/screenshots.sh [BUILD_DIR] [gtest filter]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
filter=${2:-Screenshots.*}
cd "$root"
QT_QPA_PLATFORM=xcb QUORVEX_SCREENSHOTS="$build/screenshots" QUORVEX_TESTDATA="$root/../shared/testdata" \
  xvfb-run -a -s "-screen 0 1600x1200x24" "$build/tests/test_ui" --gtest_filter="$filter"
ls "$build/screenshots"
xvfb-run -a -s "-screen 0 1600x1200x24" \
  bash "$root/scripts/first-minutes.sh" "$build" "$build/screenshots/first-minutes"
