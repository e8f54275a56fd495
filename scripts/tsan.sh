#!/usr/bin/env bash
# Builds the platform, document and window test suites with ThreadSanitizer
# into their own folder and runs them; any reported race fails the run.
# Usage: scripts/tsan.sh [BUILD_DIR] [-- ctest arguments...]
# Slow (on two cores: about 30 minutes beside the build): not part of CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build-tsan
if [ $# -gt 0 ] && [ "$1" != "--" ]; then dir=$1; shift; fi
if [ "${1:-}" = "--" ]; then shift; fi
bash "$root/scripts/build.sh" "$dir" -DQUORVEX_TSAN=ON -DQUORVEX_BENCH=OFF \
  -- test_platform test_document test_ui quorvex-gui
# The sanitizer's own reports fail a test; halting keeps the first one readable.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66:suppressions=$root/scripts/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
# Tests that cap the address space leave the sanitizer no room for its shadow.
export GTEST_FILTER="${GTEST_FILTER:--*WithoutRoomForAThread*}"
cd "$dir"
ctest --output-on-failure -R '^(platform|document|ui)$' "$@"
