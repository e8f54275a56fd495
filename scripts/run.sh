#!/usr/bin/env bash
# Installs what is missing, builds, and develops the given raw files beside
# themselves; with no argument, develops the bundled sample into build/developed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh" "$root/build" -- quorvex
if [ $# -eq 0 ]; then
  mkdir -p "$root/build/developed"
  exec "$root/build/quorvex" --out "$root/build/developed"
fi
exec "$root/build/quorvex" "$@"
