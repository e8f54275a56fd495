#!/usr/bin/env bash
# The X-Trans demosaic against the peers'. Each scene (the Photo CD images of
# ../shared/testdata/pcd at Base and their reference renderings, a neutral and
# a colour zone plate, charts of fine coloured texture, of saturated edges and
# of thin dark lines on yellow and red, five slanted edges between saturated
# colours; held out, crops of the Photo CD images at full resolution that no
# constant was chosen on; and three of the photographs under shot and read
# noise) is
# written by tools/mosaic_twins as an X-Trans DNG, an RGGB DNG and a LinearRaw
# DNG of the very same raw values; each program develops all three to 16-bit
# TIFF and its mosaic renders are scored against its own LinearRaw render
# (tools/demosaic_score.py: CPSNR after a per-channel cubic tone fit, dE00
# mean and 99th percentile, false colour where the truth is near neutral, 8
# pixels of border left out). Quorvex develops with the "Zero'd" preset, the
# peers with their default settings, each from a fresh configuration.
#
# Then the timing: a 25-megapixel X-Trans DNG (and its RGGB twin, for scale),
# made from a Photo CD image at 16Base, to JPEG with each program's default
# settings, best of $RUNS (3), wall seconds and peak resident MB, on all cores
# and pinned to two (taskset -c 0,1); and on two cores, 25 MP X-Trans frames
# of fine coloured texture, thin dark lines and a colour zone plate.
#
# A Quorvex that does not demosaic X-Trans yet prints "refused" in its rows.
# Side-by-side crops at 200 % of each scene's hardest region (LinearRaw
# truth from Quorvex, or from darktable when Quorvex cannot render it, then
# each program's X-Trans render) go to $CROPS (/tmp/xtrans-crops).
#
# Usage: bench/xtrans.sh [QUORVEX] [BUILD_DIR]
#   QUORVEX    the program measured (default BUILD_DIR/quorvex), e.g. another
#              worktree's build
#   BUILD_DIR  where tools/mosaic_twins was built (default build)
# Environment: RUNS (3), TIMING=0 skips the timing, QUALITY=0 all but the
# timing, SCENES="IMG0003 zone-neutral"
# limits the scenes, KEEP=1 keeps the files and renders, PEERS=0 leaves the
# peers out (their figures do not change with ours).
# False colour is measured where the scene itself is near neutral (a peer's
# default render may carry a cast that leaves few neutral pixels); the colour
# zone plate has none ("-"), and that column's means are over the others.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${2:-$root/build}")
quorvex=$(realpath "${1:-$build/quorvex}")
twins=$build/tools/mosaic_twins
score=(/usr/bin/python3 "$root/tools/demosaic_score.py")
runs=${RUNS:-3}
crops=${CROPS:-/tmp/xtrans-crops}
data=$root/../shared/testdata/pcd
for need in "$quorvex" "$twins"; do
  [ -x "$need" ] || { echo "xtrans.sh: $need is missing (build first)" >&2; exit 1; }
done
work=$(mktemp -d)
if [ -n "${KEEP:-}" ]; then echo "files and renders kept in $work"; else trap 'rm -rf "$work"' EXIT; fi
export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data \
  XDG_STATE_HOME=$work/home/state XDG_CACHE_HOME=$work/home/cache
mkdir -p "$HOME" "$work/dtconf" "$work/scenes" "$crops"

# The scorer must be honest before its figures mean anything.
"${score[@]}" check

programs=(quorvex)
if [ "${PEERS:-1}" != 0 ]; then
  command -v darktable-cli >/dev/null && programs+=(darktable)
  command -v rawtherapee-cli >/dev/null && programs+=(rawtherapee)
fi

# --- the scenes --------------------------------------------------------------
scenes=()
if [ "${QUALITY:-1}" != 0 ]; then
  for f in "$data"/*.PCD; do
    name=$(basename "$f" .PCD)
    "$twins" --pcd "$f" --output "$work/scenes/$name" >/dev/null
    scenes+=("$name")
  done
  # The same photographs as sharper, brighter reference renderings, which a
  # camera's raw files resemble more than our own Base decodes do.
  for f in "$data"/reference/*.png; do
    name=$(basename "$f" .png)
    "$twins" --png "$f" --output "$work/scenes/$name" >/dev/null
    scenes+=("$name")
  done
  for z in neutral colour; do
    "$twins" --zone-plate $z --output "$work/scenes/zone-$z" >/dev/null
    scenes+=("zone-$z")
  done
  for c in texture edges lines; do
    "$twins" --chart $c --output "$work/scenes/chart-$c" >/dev/null
    scenes+=("chart-$c")
  done
  # Held out: the window of most detail of each image's 16Base decode, at
  # four times Base's scale and uncut by reduction, scored apart from the
  # scenes the demosaic's constants were chosen on.
  held=(IMG0003:0,256 IMG0004:2112,1024 IMG0010:576,1536 IMG0015:1536,0 IMG0019:960,0
    IMG0023:576,640)
  for h in "${held[@]}"; do
    "$twins" --pcd "$data/${h%%:*}.PCD" --size 768x512 --crop "${h#*:}" \
      --output "$work/scenes/held-${h%%:*}" >/dev/null
    scenes+=("held-${h%%:*}")
  done
  # Under noise: shot and read noise at a signal-to-noise ratio of 8 on an
  # 18 % grey, on the mosaics alone, each render scored against the clean
  # LinearRaw one; a mean of their own, apart from the others.
  "$twins" --pcd "$data/IMG0003.PCD" --noise 8 --output "$work/scenes/noise-IMG0003" >/dev/null
  "$twins" --png "$data/reference/kodim19.png" --noise 8 \
    --output "$work/scenes/noise-kodim19" >/dev/null
  "$twins" --pcd "$data/IMG0015.PCD" --size 768x512 --crop 1536,0 --noise 8 \
    --output "$work/scenes/noise-held-IMG0015" >/dev/null
  scenes+=(noise-IMG0003 noise-kodim19 noise-held-IMG0015)
  # Slanted edges between saturated colours, scored apart (see below).
  edges=("150,20,30/235,200,20" "170,20,20/235,235,235" "30,40,160/230,210,40"
    "180,30,30/40,150,40" "30,30,30/230,230,230")
  # 120 pixels square as the issue drew them; again at 240, which
  # rawtherapee-cli needs (it refuses smaller files), for the peers' rows.
  for i in "${!edges[@]}"; do
    for size in 120 240; do
      "$twins" --edge "${edges[$i]}" --size ${size}x$size \
        --output "$work/scenes/edge$size-$((i + 1))" >/dev/null
      scenes+=("edge$size-$((i + 1))")
    done
  done
  [ -n "${SCENES:-}" ] && read -r -a scenes <<<"$SCENES"

  # develop PROGRAM DNG OUT.tif: 0 when OUT.tif was written; else the reason,
  # one line, in OUT.tif.why ("refused" when the layout is not demosaiced).
  develop() {
    local program=$1 dng=$2 out=$3 dir
    dir=$(mktemp -d -p "$work")
    case $program in
      quorvex) "$quorvex" --preset "Zero'd" --type tiff --out "$dir" "$dng" ;;
      darktable) darktable-cli "$dng" "$dir/out.tif" --core --configdir "$work/dtconf" \
        --library :memory: --conf plugins/imageio/format/tiff/bpp=16 ;;
      rawtherapee)
        # It reads a three-sample file's BlackLevelRepeatDim (1 x 1, the
        # default) as a per-colour pattern and shifts the LinearRaw render's
        # colour; without the tag the same black level reads right.
        if [[ $dng == *-linear.dng ]]; then
          "${score[@]}" hide-tag "$dng" "$dir/in.dng" 50713
          dng=$dir/in.dng
        fi
        rawtherapee-cli -d -t -b16 -Y -o "$dir/out.tif" -c "$dng" ;;
    esac >"$dir/log" 2>&1 || true
    local tif
    tif=$(find "$dir" -name '*.tif' -size +0 | head -1)
    if [ -n "$tif" ]; then
      mv "$tif" "$out"
    elif grep -q "does not demosaic" "$dir/log"; then
      echo refused >"$out.why"
    else
      echo "failed: $(grep -v '^\s*$' "$dir/log" | tail -1)" >"$out.why"
    fi
    rm -rf "$dir"
    [ -f "$out" ]
  }

  for p in "${programs[@]}"; do
    mkdir -p "$work/render/$p"
    for s in "${scenes[@]}"; do
      for m in linear xtrans rggb; do
        develop "$p" "$work/scenes/$s-$m.dng" "$work/render/$p/$s-$m.tif" || true
      done
    done
    # The scorer again, on this program's own render of a photograph (an
    # edge, the colour zone plate and the lines have no neutral part to find
    # false colour in).
    first=
    for s in "${scenes[@]}"; do
      [[ $s == edge* || $s == zone-colour || $s == chart-lines ]] ||
        { first=$work/render/$p/$s-linear.tif; break; }
    done
    [ -f "$work/render/$p/zone-neutral-linear.tif" ] && first=$work/render/$p/zone-neutral-linear.tif
    if [ -n "$first" ] && [ -f "$first" ]; then
      "${score[@]}" check "$first" | sed "s/^/$p: /"
    fi
  done

  # --- the table ---------------------------------------------------------------
  echo
  printf "%-12s %-7s %-18s %8s %9s %9s %8s\n" program mosaic scene "CPSNR" "dE00 mean" "dE00 p99" "false"
  # Per row; then the means of each program and mosaic, over every scene and
  # over the photographs alone (false colour over the scenes that have it).
  for p in "${programs[@]}"; do
    for m in xtrans rggb; do
      for s in "${scenes[@]}"; do
        [[ $s == edge* ]] && continue
        ref=$work/render/$p/$s-linear.tif test=$work/render/$p/$s-$m.tif
        if [ -f "$ref" ] && [ -f "$test" ]; then
          read -r c dm dp f < <("${score[@]}" score "$ref" "$test" "$work/scenes/$s-linear.dng")
          [ "$f" = nan ] && f=-
          printf "%-12s %-7s %-18s %8s %9s %9s %8s\n" "$p" "$m" "$s" "$c" "$dm" "$dp" "$f"
        else
          why=$(cat "$test.why" "$ref.why" 2>/dev/null | head -1 || true)
          printf "%-12s %-7s %-18s %s\n" "$p" "$m" "$s" "${why:-missing}"
        fi
      done | tee -a "$work/table"
    done
  done
  # The held-out crops and the noisy scenes have means of their own and stay
  # out of the others.
  awk 'NF == 7 { for (g = 1; g <= 4; g++) {
      apart = $3 ~ /^noise-/ ? 4 : $3 ~ /^held-/ ? 3 : 0
      if (apart ? g != apart : g > 2 || (g == 2 && $3 ~ /^(zone|chart)-/)) continue
      k = $1 " " $2 " " (g == 1 ? "MEAN-all" : g == 2 ? "MEAN-photos" : g == 3 ? "MEAN-held" \
        : "MEAN-noise")
      if (!(k in n)) order[++K] = k
      n[k]++; for (i = 4; i <= 6; i++) v[k, i] += $i
      if ($7 != "-") { v[k, 7] += $7; nf[k]++ } } }
    END { for (j = 1; j <= K; j++) { k = order[j]; split(k, w, " ")
      printf "%-12s %-7s %-18s %8.2f %9.2f %9.2f %8s\n", w[1], w[2], w[3] " (" n[k] ")",
        v[k, 4] / n[k], v[k, 5] / n[k], v[k, 6] / n[k], nf[k] ? sprintf("%.2f", v[k, 7] / nf[k]) : "-" } }' \
    "$work/table"

  # The edges: the largest difference from the LinearRaw render in 8-bit
  # levels, and how far the darkest pixel falls below the darker side.
  echo
  printf "%-12s %-7s %-24s %5s %10s %7s\n" program mosaic edge size difference below
  for p in "${programs[@]}"; do
    for m in xtrans rggb; do
      for size in 120 240; do
        for i in "${!edges[@]}"; do
          s=edge$size-$((i + 1)) ref=$work/render/$p/edge$size-$((i + 1))-linear.tif
          test=$work/render/$p/$s-$m.tif
          [[ " ${scenes[*]} " == *" $s "* ]] || continue
          if [ -f "$ref" ] && [ -f "$test" ]; then
            read -r d b < <("${score[@]}" edge "$ref" "$test")
            printf "%-12s %-7s %-24s %5s %10s %7s\n" "$p" "$m" "${edges[$i]}" $size "$d" "$b"
          else
            printf "%-12s %-7s %-24s %5s %s\n" "$p" "$m" "${edges[$i]}" $size missing
          fi
        done
      done
    done
  done

  # The lines chart: how far green stands above the LinearRaw render's on the
  # lines, the 95th percentile in 8-bit levels, by ground, width and angle;
  # then red's and blue's mean (a line dotted red or purple).
  if [[ " ${scenes[*]} " == *" chart-lines "* ]]; then
    echo
    printf "%-12s %-7s %-10s %s\n" program mosaic lines \
      "green above, p95 at 0 14 33 45 71 90 degrees | red, blue above, mean"
    for p in "${programs[@]}"; do
      ref=$work/render/$p/chart-lines-linear.tif
      for m in xtrans rggb; do
        test=$work/render/$p/chart-lines-$m.tif
        [ -f "$ref" ] && [ -f "$test" ] || continue
        "${score[@]}" lines "$ref" "$test" | awk -v p="$p" -v m="$m" '
          { v[$1] = v[$1] sprintf(" %3.0f", $4); r[$1] = r[$1] sprintf(" %3.0f", $5)
            b[$1] = b[$1] sprintf(" %3.0f", $6) }
          END { for (k = 0; k < 4; k++) printf "%-12s %-7s %-10s%s |%s |%s\n", p, m,
            (k < 2 ? "yellow" : "red") " " (k % 2 + 1) "px", v[k], r[k], b[k] }'
      done
    done
  fi

  # --- crops -------------------------------------------------------------------
  echo
  for s in "${scenes[@]}"; do
    truth=$work/render/quorvex/$s-linear.tif truthname=quorvex
    [ -f "$truth" ] || { truth=$work/render/darktable/$s-linear.tif truthname=darktable; }
    [ -f "$truth" ] || continue
    tiles=() names=("LinearRaw ($truthname)")
    peers=()
    for p in darktable rawtherapee quorvex; do
      t=$work/render/$p/$s-xtrans.tif
      [ -f "$t" ] && tiles+=("$t") && names+=("$p X-Trans")
      [ -f "$t" ] && [ "$p" != quorvex ] && peers+=("$t")
    done
    [ ${#tiles[@]} -gt 0 ] || continue
    box=$("${score[@]}" hardest "$truth" 128,96 "${peers[@]:-${tiles[@]}}")
    # Under noise the same box for every run, where blotches show.
    case $s in
      noise-IMG0003) box=440,250,128,96 ;;
      noise-kodim19) box=180,100,128,96 ;;
      noise-held-IMG0015) box=380,120,128,96 ;;
    esac
    [[ $s == edge120-* ]] && box=20,20,80,80
    [[ $s == edge240-* ]] && box=80,80,80,80
    "${score[@]}" crops "$crops/$s.png" "$box" "$truth" "${tiles[@]}"
    echo "crop $crops/$s.png at $box, left to right: $(IFS=,; echo "${names[*]}" | sed 's/,/, /g')"
    # The zone plates also at about 0.35 cycles per pixel (0.18 for the colour
    # one), right of the centre, where the corners' aliasing does not rule.
    if [[ $s == zone-* ]]; then
      "${score[@]}" crops "$crops/$s-mid.png" 600,208,128,96 "$truth" "${tiles[@]}"
      echo "crop $crops/$s-mid.png at 600,208,128,96, the same order"
    fi
  done

fi
[ "${TIMING:-1}" = 0 ] && exit 0

# --- timing ------------------------------------------------------------------
"$twins" --pcd "$data/IMG0023.PCD" --size 6144x4080 --only xtrans,rggb \
  --output "$work/scenes/big" >/dev/null
source "$root/bench/timing.sh"
# One program's best time on one file: time_one PROGRAM FILE MOSAIC CORES.
time_one() {
  local p=$1 file=$2 m=$3 cores=$4 s mb cmd pin=()
  [ "$cores" != all ] && pin=(taskset -c "$cores")
  case $p in
    quorvex) cmd=("$quorvex" --out @OUT@ "$file") ;;
    darktable) cmd=(darktable-cli "$file" @OUT@/dt.jpg --core --configdir "$work/dtconf"
      --library :memory:) ;;
    rawtherapee) cmd=(rawtherapee-cli -d -j90 -Y -o @OUT@/rt.jpg -c "$file") ;;
  esac
  read -r s mb < <(best_of "${pin[@]}" "${cmd[@]}")
  if [ "$s" = fail ]; then
    grep -q "does not demosaic" "$work/log" && s=refused || s="failed"
    mb=""
  fi
  printf "%-12s %-7s %-10s %8s %8s\n" "$p" "$m" "$cores" "$s" "$mb"
}
echo
echo "25 MP (6144 x 4080) to JPEG, default settings, best of $runs:"
printf "%-12s %-7s %-10s %8s %8s\n" program mosaic cores seconds MB
for m in xtrans rggb; do
  for cores in all 0,1; do
    for p in "${programs[@]}"; do time_one "$p" "$work/scenes/big-$m.dng" "$m" "$cores"; done
  done
done

# The frames that cost the X-Trans demosaic's thin line detector most: fine
# coloured texture, thin dark lines over the whole frame (most red and blue
# sites pass its pre-gate, half of them take a line) and a colour zone plate.
"$twins" --chart texture --size 6144x4080 --only xtrans --output "$work/scenes/dense" >/dev/null
"$twins" --chart lines --size 6144x4080 --only xtrans --output "$work/scenes/lines" >/dev/null
"$twins" --zone-plate colour --size 6144x4080 --only xtrans --output "$work/scenes/zonec" >/dev/null
echo
echo "25 MP of fine coloured texture (dense), thin dark lines (lines) and a colour"
echo "zone plate (zonec), X-Trans, to JPEG, two cores, best of $runs:"
for scene in dense lines zonec; do
  for p in "${programs[@]}"; do time_one "$p" "$work/scenes/$scene-xtrans.dng" $scene 0,1; done
done
