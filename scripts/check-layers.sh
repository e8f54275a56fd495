#!/usr/bin/env bash
# Checks the direction of includes between the source folders:
#   platform <- dng/core <- dng/color <- dng/image <- dng/writer <- color <- raw
#   <- engine <- export, photocd <- document <- ui <- app
# A folder may include its own headers and those of folders to its left, never
# one to its right nor its peer (export and photocd). Code outside src/ui and
# src/app must not include Qt, and tools/ must not include tests/.
# Usage: scripts/check-layers.sh [ROOT]   (default: this repository)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
root=$(cd "$root" && pwd)
status=0

hits=$(grep -rlE '#include *[<"](Q[A-Za-z]+|Qt[A-Za-z]+/)' "$root/src" 2>/dev/null | grep -vE "^$root/src/(ui|app)/" || true)
if [ -n "$hits" ]; then
  echo "Qt included outside src/ui and src/app:"; echo "$hits"; status=1
fi

# Every quoted include of every source file under src/, as "file:line:folder:path".
upward=$(cd "$root/src" && grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.c' \
           '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' . | awk '
  function rank(path,   f) {
    if (path ~ /^dng\//) { split(path, f, "/"); f[1] = "dng/" f[2] } else { split(path, f, "/") }
    if (f[1] == "platform") return 0
    if (f[1] == "dng/core") return 1
    if (f[1] == "dng/color") return 2
    if (f[1] == "dng/image") return 3
    if (f[1] == "dng/writer") return 4
    if (f[1] == "color") return 5
    if (f[1] == "raw") return 6
    if (f[1] == "engine") return 7
    if (f[1] == "export") return 8
    if (f[1] == "photocd") return 8
    if (f[1] == "document") return 9
    if (f[1] == "ui") return 10
    if (f[1] == "app") return 11
    return -1
  }
  function folder(path,   f) {
    split(path, f, "/")
    return (f[1] == "dng") ? "dng/" f[2] : f[1]
  }
  {
    file = $0; sub(/^\.\//, "", file); sub(/:.*/, "", file)
    line = $0; sub(/^[^:]*:/, "", line); lineno = line; sub(/:.*/, "", lineno); sub(/^[^:]*:/, "", line)
    inc = line; sub(/^[^"]*"/, "", inc); sub(/".*/, "", inc)
    # A path relative to the including file, and any "..", resolved first.
    if (inc ~ /^\.\.?\//) { dir = file; sub(/[^\/]*$/, "", dir); inc = dir inc }
    while (inc ~ /^\.\//) sub(/^\.\//, "", inc)
    while (gsub(/\/\.\//, "/", inc)) {}
    while (match(inc, /[^\/]+\/\.\.\//)) {
      if (substr(inc, RSTART, RLENGTH) == "../../") break
      inc = substr(inc, 1, RSTART - 1) substr(inc, RSTART + RLENGTH)
    }
    from = folder(file); to = folder(inc)
    if (rank(inc) < 0 || from == to) next
    if (rank(file) < 0) { print "src/" file ":" lineno ": includes " inc " from an unknown folder"; next }
    if (rank(inc) >= rank(file)) print "src/" file ":" lineno ": " from " includes " inc
  }')
if [ -n "$upward" ]; then
  echo "Includes against the layer order:"; echo "$upward"; status=1
fi

if [ -d "$root/tools" ]; then
  hits=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*/)?tests/' "$root/tools" || true)
  if [ -n "$hits" ]; then
    echo "tools/ includes tests/:"; echo "$hits"; status=1
  fi
fi
exit $status
