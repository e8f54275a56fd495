#!/usr/bin/env bash
# Installs what is missing, builds, and develops the given raw files (or the bundled sample).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh" "$root/build" -- quorvex
exec "$root/build/quorvex" "$@"
