# Sourced by the benchmarks that time whole programs: needs $work and $runs.

# One run: "seconds peak-kB", or "fail" when the program failed or wrote no
# JPEG. @OUT@ in the command stands for a fresh output folder; the
# program's output is kept in $work/log.
run_once() {
  local out=$work/out.$RANDOM
  mkdir -p "$out"
  local cmd=("$@")
  cmd=("${cmd[@]//@OUT@/$out}")
  if /usr/bin/time -f "%e %M" -o "$work/time" "${cmd[@]}" >"$work/log" 2>&1 &&
    [ -n "$(find "$out" -name '*.jpg' -size +0)" ]; then
    cat "$work/time"
  else
    echo "fail"
  fi
  rm -rf "$out"
}

# Best of $runs: prints "seconds peak-MB", or "fail -".
best_of() {
  local best="" mem=""
  for _ in $(seq "$runs"); do
    read -r s kb < <(run_once "$@")
    [ "$s" = "fail" ] && { echo "fail -"; return; }
    if [ -z "$best" ] || awk "BEGIN{exit !($s < $best)}"; then best=$s; mem=$((kb / 1024)); fi
  done
  echo "$best $mem"
}
