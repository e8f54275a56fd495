#!/usr/bin/env bash
# Checks the direction of includes between the source folders. The order of the
# layers is written once, in cmake/Quorvex.cmake; CMake writes it to
# BUILD/layers.txt as "rank folder" lines (equal ranks are peers). A folder may
# include its own headers and those of lower ranks, never a higher one nor a
# peer, in quotes or in angle brackets. Code outside src/ui and src/app must not
# include Qt, and tools/ must not include tests/. The build enforces the same
# order through per-library include roots; this check also catches relative paths.
# Usage: scripts/check-layers.sh [ROOT [LAYERS_FILE]]
#   (defaults: this repository, ROOT/build/layers.txt)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
root=$(cd "$root" && pwd)
layers=${2:-$root/build/layers.txt}
if [ ! -f "$layers" ]; then
  echo "No layer order at $layers: configure the build first (bash scripts/build.sh build)"; exit 2
fi
status=0

hits=$(grep -rlE '#include *[<"](Q[A-Za-z]+|Qt[A-Za-z]+/)' "$root/src" 2>/dev/null | grep -vE "^$root/src/(ui|app)/" || true)
if [ -n "$hits" ]; then
  echo "Qt included outside src/ui and src/app:"; echo "$hits"; status=1
fi

# Every include, quoted or in angle brackets, of every source file under src/,
# as "file:line:text".
upward=$(cd "$root/src" && grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.c' \
           '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' . | awk -v layers="$layers" '
  BEGIN {
    while ((getline entry < layers) > 0) {
      if (entry ~ /^#/ || entry == "") continue
      split(entry, f, " "); order[f[2]] = f[1]
    }
  }
  function rank(path,   f, key) {
    if (path ~ /^dng\//) { split(path, f, "/"); key = "dng/" f[2] } else { split(path, f, "/"); key = f[1] }
    return (key in order) ? order[key] + 0 : -1
  }
  function folder(path,   f) {
    split(path, f, "/")
    return (f[1] == "dng") ? "dng/" f[2] : f[1]
  }
  {
    file = $0; sub(/^\.\//, "", file); sub(/:.*/, "", file)
    line = $0; sub(/^[^:]*:/, "", line); lineno = line; sub(/:.*/, "", lineno); sub(/^[^:]*:/, "", line)
    inc = line; sub(/^[^"<]*["<]/, "", inc); sub(/[">].*/, "", inc)
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
