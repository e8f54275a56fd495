#!/usr/bin/env bash
# Every text the program shows or writes calls it Quorvex: no string literal
# under src/ carries a foreign program name, except the stored settings keys
# and notification names that begin with "TARNWisp_" (and that prefix alone).
# The check first proves itself on a planted literal in a temporary copy.
set -euo pipefail
root=$1
foreign() {
  grep -rnoE --include='*.h' --include='*.cpp' '"([^"\\]|\\.)*"' "$1/src" |
    grep -iE 'tarnwisp|zazid|nivellar|vudevuzev|zozavoziv' |
    grep -vE ':"TARNWisp_[A-Za-z0-9_]*"$' || true
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/platform"
printf '%s\n' 'const char* a = "TARNWisp_DocumentChange";' 'const char* b = "saved by tarnWisp";' \
  > "$work/src/platform/Planted.cpp"
planted=$(foreign "$work")
if [ "$(printf '%s\n' "$planted" | grep -c .)" != 1 ] || ! grep -q "saved by tarnWisp" <<<"$planted"; then
  echo "FAIL: the check does not tell a foreign name from a settings key:"; echo "$planted"; exit 1
fi
hits=$(foreign "$root")
if [ -n "$hits" ]; then
  echo "String literals that name another program:"; echo "$hits"; exit 1
fi
echo "program name: ok"
