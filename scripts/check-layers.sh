#!/usr/bin/env bash
# Fails when code outside src/ui and src/app includes Qt: everything below the
# user interface must build and run without a display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
hits=$(grep -rlE '#include *[<"](Q[A-Za-z]+|Qt[A-Za-z]+/)' "$root/src" 2>/dev/null | grep -vE "^$root/src/(ui|app)/" || true)
if [ -n "$hits" ]; then
  echo "Qt included outside src/ui and src/app:"; echo "$hits"; exit 1
fi
