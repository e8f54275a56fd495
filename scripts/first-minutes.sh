#!/usr/bin/env bash
# A new user's first minutes with the real window program, on the X server in
# $DISPLAY under openbox, driven with xdotool: launch without files (the help
# popovers must leave the pictures free, and a double-click on a picture
# while they show opens it), open Preferences, look at the Open panel, open a
# DNG from the browser, turn the wheel over the picture at Fit (it must not
# move) and over the controls (they scroll, none changes), move the
# controls, zoom by every View item and the zoom keys, rotate, crop (and look
# at the cropped view zoomed in and scrolled: no lines across the shade), export,
# export again (replacing the file is asked first; Cancel keeps it), export
# as DNG (the proposed name is one it may write), export as holiday.jpeg (kept
# as typed), export as DNG under the raw file's name in other letter case
# (refused at once, the panel stays), save a preset (replacing a factory one
# is asked first; a preset with an unreadable number is told in the message
# bar), look at the presets, profile and inspector
# windows (each fully on the screen), open the reset alert and press Return
# (nothing may be deleted), open a file with a warning twice (shown once, in
# its window, no alert), open a DNG named .jpg
# (the alert says what it is), export into a folder that cannot be written
# (the alert names the file and the folder), open two files at once (their
# windows cascade, fully on the screen), quit; then launches with a folder
# (the browser shows it, in front), with a file that is refused and with the
# DNG named .jpg, a raw search folder set (each alert in front, and the
# program ends once it is answered); last, a batch of three whose second
# file is no raw file (it stops there, and its alert says so and that 1 of 3
# photos was exported). A screenshot (scrot) is saved after each step in OUT; the run fails
# when a step's window does not appear or a check fails. Everything happens
# in a scratch home; the picture is the sample DNG the build makes.
# Usage (scripts/screenshots.sh calls it under Xvfb): first-minutes.sh BUILD_DIR OUT
set -euo pipefail
build=$1
out=$2
for tool in openbox xdotool scrot exiftool python3; do
  command -v "$tool" >/dev/null || { echo "first-minutes: $tool is missing (scripts/deps.sh)" >&2; exit 1; }
done
sample="$build/sample/QuorvexTestChart.dng"
[ -f "$sample" ] || { echo "first-minutes: $sample is missing; build first" >&2; exit 1; }

scratch=$(mktemp -d)
gui=""
wm=""
cleanup() {
  for pid in $gui $wm; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$scratch"
}
trap cleanup EXIT
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" XDG_DATA_HOME="$scratch/home/.local/share"
export XDG_STATE_HOME="$scratch/home/.local/state" TMPDIR="$scratch/tmp" XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p "$HOME/Pictures" "$TMPDIR" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
cp "$sample" "$HOME/Pictures/"
rm -rf "$out"
mkdir -p "$out"

step=0
shot() {  # shot NAME: the whole screen after the step
  sleep "${2:-1}"
  step=$((step + 1))
  scrot -o "$out/$(printf %02d "$step")-$1.png"
}
fail() {
  echo "first-minutes: $*" >&2
  shot failure 0 || true
  echo "--- program log:" >&2
  tail -n 30 "$scratch/gui.log" >&2 || true
  exit 1
}
window() {  # window TITLE-REGEX: the id of the visible window, waiting up to 30 s
  # A search gives up on a window that closes while it looks (a panel or a
  # popup going away), so it is asked again rather than waited on once.
  local id=""
  for _ in $(seq 150); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) || true
    [ -n "$id" ] && break
    sleep 0.2
  done
  [ -n "$id" ] || fail "no window named $1"
  echo "$id"
}
active() {  # active TITLE-REGEX: waits up to 10 s for the focused window to have that title
  local id
  for _ in $(seq 100); do
    id=$(xdotool getactivewindow 2>/dev/null) || id=""
    if [ -n "$id" ] && xdotool getwindowname "$id" 2>/dev/null | grep -Eq "$1"; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  fail "the focused window is not $1"
}
focused_alert() {  # focused_alert: the id of the focused alert, once the focus stays on it
  # An export's progress sheet is titled Quorvex too, and takes the focus
  # for a moment before a failed export's alert does.
  local id
  for _ in $(seq 20); do
    id=$(active '^Quorvex$')
    sleep 0.5
    if [ "$(xdotool getactivewindow 2>/dev/null)" = "$id" ]; then
      echo "$id"
      return 0
    fi
  done
  fail "the focus did not stay on an alert"
}
gone() {  # gone TITLE-REGEX: waits until no visible window has that title
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  fail "the window $1 did not close"
}
keys() {  # keys WINDOW KEY...: activates the window, then types the keys
  local id=$1
  shift
  xdotool windowactivate --sync "$id" >/dev/null 2>&1 ||
    xdotool windowfocus --sync "$id" 2>/dev/null || fail "the window $id closed before its keys"
  for key in "$@"; do
    xdotool key --clearmodifiers "$key"
    sleep 0.15
  done
}
menu() {  # menu WINDOW MNEMONIC INDEX: the INDEX-th item (from 0) of a menu
  local downs=()
  for _ in $(seq "$3"); do downs+=(Down); done
  keys "$1" "alt+$2" "${downs[@]}" Return
}
click() {  # click WINDOW X Y [REPEAT]: a left click at a point of the window
  xdotool mousemove --window "$1" "$2" "$3" click --repeat "${4:-1}" --delay 120 1
}
wheel() {  # wheel WINDOW X Y CLICKS BUTTON: wheel clicks (4 up, 5 down) at a point
  xdotool mousemove --window "$1" "$2" "$3" click --repeat "$4" --delay 60 "$5"
}
onscreen() {  # onscreen WINDOW NAME: the window lies fully on the screen
  # (xdotool's Y counts the title bar twice, so the check errs on the safe side)
  local X Y WIDTH HEIGHT SCREEN WINDOW sw sh
  eval "$(xdotool getwindowgeometry --shell "$1")"
  read -r sw sh < <(xdotool getdisplaygeometry)
  if [ "$X" -lt 0 ] || [ "$Y" -lt 0 ] || [ $((X + WIDTH)) -gt "$sw" ] || [ $((Y + HEIGHT)) -gt "$sh" ]; then
    fail "$2 is partly off the ${sw}x$sh screen: ${WIDTH}x$HEIGHT at $X,$Y"
  fi
}
written() {  # written FILE STEP: waits up to 30 s for STEP to write FILE
  for _ in $(seq 150); do
    [ -s "$1" ] && return 0
    sleep 0.2
  done
  fail "$2 wrote no ${1##*/}"
}
ends() {  # ends STEP: waits up to 20 s for the program to end after STEP, with status 0
  for _ in $(seq 100); do kill -0 "$gui" 2>/dev/null || break; sleep 0.2; done
  kill -0 "$gui" 2>/dev/null && fail "the program did not end after $1"
  wait "$gui" || fail "the program ended with an error after $1"
  gui=""
}
nothing_alerts() {  # nothing_alerts STEP: no alert window is open
  if xdotool search --onlyvisible --name '^Quorvex$' >/dev/null 2>&1; then
    fail "an alert is open after $1"
  fi
}

openbox >/dev/null 2>&1 &
wm=$!
sleep 1

# Launch without files: the browser, with the splash over it for a moment.
QT_QPA_PLATFORM=xcb "$build/quorvex-gui" --verbose >"$scratch/gui.log" 2>&1 &
gui=$!
browser=$(window '^Browser$')
shot launch 2
sleep 5  # without a compositor the splash ends after its opaque part
shot help-popovers 0  # beside the first row of pictures, not over it
xdotool windowsize "$browser" 1000 700 windowmove "$browser" 40 40
shot browser  # the popovers moved with the window

# A double click on the picture while the popovers show: the first click
# closes them, the picture stays under the pointer and opens.
click "$browser" 85 284 2
document=$(window 'QuorvexTestChart')
shot double-click-with-help-showing 3
keys "$document" ctrl+w
gone 'QuorvexTestChart'
xdotool mousemove --window "$browser" 500 5  # off the pictures: they move up now
shot help-closed

# Preferences from the launch window's menus.
keys "$browser" ctrl+comma
preferences=$(window '^Preferences$')
onscreen "$preferences" Preferences
shot preferences
keys "$preferences" ctrl+w
gone '^Preferences$'

# File > Open starts in the folder the browser shows, listing raw files first.
keys "$browser" ctrl+o
panel=$(window '^Open$')
shot open-panel
keys "$panel" Escape
gone '^Open$'

# Open the DNG: a double click on the first thumbnail.
click "$browser" 90 150 2
document=$(window 'QuorvexTestChart')
xdotool windowsize "$document" 1500 1100 windowmove "$document" 20 20
shot document 4

# The wheel over the picture at Fit: the whole picture shows, nothing scrolls.
picture() { scrot -o -a 120,120,900,700 "$scratch/picture.png" && md5sum <"$scratch/picture.png"; }
at_fit=$(picture)
wheel "$document" 600 500 5 5
wheel "$document" 600 500 2 4
sleep 1
[ "$(picture)" = "$at_fit" ] || fail "the wheel moved the picture at Fit"
shot wheel-over-the-picture-at-fit 0

# The wheel over the controls scrolls them: fifteen clicks down over Hue
# pass over other controls and change none of them; then back up.
hue=(1346 702)
wheel "$document" "${hue[@]}" 15 5
shot wheel-scrolled-the-controls
wheel "$document" "${hue[@]}" 15 4

# Move every control the keyboard reaches: Tab to it, then Page Up (sliders
# and spin boxes step, lists choose another entry, buttons ignore it).
for round in 1 2 3 4 5 6; do
  for _ in $(seq 14); do keys "$document" Tab Prior; done
  shot "controls-$round" 2
done

# Every View item, in menu order.
names=(actual-size zoom-200 zoom-300 zoom-400 zoom-in zoom-out zoom-to-fit rotate-left rotate-right)
for index in "${!names[@]}"; do
  menu "$document" v "$index"
  shot "view-${names[$index]}" 2
done
menu "$document" v 6
shot fit-after-rotation 2

# The zoom keys, with the pointer off the picture so the readout shows the
# zoom: Ctrl++, Ctrl+Shift+= and keypad Ctrl++ zoom in, keypad Ctrl+- out.
xdotool mousemove --window "$document" "${hue[@]}"
for key in ctrl+plus ctrl+shift+equal ctrl+KP_Add ctrl+KP_Subtract; do
  keys "$document" "$key"
  shot "zoom-key-$key" 2
done
keys "$document" ctrl+f
shot fit-again 2

# Crop: crop mode from the toolbar, a drag of the frame's top-left handle
# outwards, crop mode off. Points are in the 1500 × 1100 window at fit.
crop_button=(357 1085)
click "$document" "${crop_button[@]}"
shot crop-mode
xdotool mousemove --window "$document" 514 527 mousedown 1 sleep 0.3 \
  mousemove --window "$document" 420 440 sleep 0.3 mousemove --window "$document" 300 350 \
  sleep 0.3 mouseup 1
shot crop-dragged
click "$document" "${crop_button[@]}"
shot crop-done 3

# The cropped photo's view, crop mode off, zoomed in from fit and at 71 %
# scrolled to the bottom-right corner: the shade outside the crop is even,
# with no light line where the view's tiles meet. Back to fit.
menu "$document" v 4
menu "$document" v 4
shot cropped-view-zoomed-in 2
menu "$document" v 0
menu "$document" v 5
wheel "$document" 600 500 50 5
wheel "$document" 600 500 90 7
shot cropped-view-scrolled 2
keys "$document" ctrl+f
sleep 1

# Export with the File item: the save panel proposes the name beside the raw file.
keys "$document" ctrl+e
panel=$(window '^Save As')
shot export-panel
keys "$panel" Return
written "$HOME/Pictures/QuorvexTestChart.jpg" "the export"
shot exported 2

# The same export again: the panel asks before replacing the file, and
# Return (Cancel) keeps it and the panel; Escape closes the panel.
jpeg_before=$(stat -c %i-%Y "$HOME/Pictures/QuorvexTestChart.jpg")
keys "$document" ctrl+e
panel=$(window '^Save As')
keys "$panel" Return
alert=$(focused_alert)
shot export-asks-before-replacing 1
keys "$alert" Return
active '^Save As' >/dev/null
keys "$panel" Escape
gone '^Save As'
sleep 1
[ "$(stat -c %i-%Y "$HOME/Pictures/QuorvexTestChart.jpg")" = "$jpeg_before" ] ||
  fail "Cancel let the export replace QuorvexTestChart.jpg"
nothing_alerts "cancelling the replacement"

# Export as DNG proposes a name it may write (never the raw file itself):
# Return writes it, with no alert.
menu "$document" f 5
panel=$(window '^Save As')
shot export-as-dng-proposes-a-free-name
keys "$panel" Return
written "$HOME/Pictures/QuorvexTestChart_1.dng" "Export as DNG"
sleep 2
nothing_alerts "Export as DNG"
shot exported-as-dng 0

# A typed .jpeg name is kept as typed, not doubled to .jpeg.jpg.
keys "$document" ctrl+e
panel=$(window '^Save As')
xdotool key ctrl+a
xdotool type --delay 30 holiday.jpeg
shot export-typed-jpeg 0
xdotool key Return
written "$HOME/Pictures/holiday.jpeg" "the export as holiday.jpeg"
[ ! -e "$HOME/Pictures/holiday.jpeg.jpg" ] || fail "the typed extension was doubled"
sleep 1
nothing_alerts "the export as holiday.jpeg"

# Export as DNG under the raw file's own name, in other letter case: refused
# at once (no replace question), the panel stays with the name selected.
raw_before=$(stat -c %i-%Y-%s "$HOME/Pictures/QuorvexTestChart.dng")
menu "$document" f 5
panel=$(window '^Save As')
xdotool key ctrl+a
xdotool type --delay 30 QuorvexTestChart.DNG
xdotool key Return
alert=$(focused_alert)
shot export-refuses-the-raw-files-name 1
keys "$alert" Return
active '^Save As' >/dev/null
shot refused-name-selected-in-the-panel
keys "$panel" Escape
gone '^Save As'
[ "$(stat -c %i-%Y-%s "$HOME/Pictures/QuorvexTestChart.dng")" = "$raw_before" ] ||
  fail "the raw file changed"
[ ! -e "$HOME/Pictures/QuorvexTestChart.DNG" ] || fail "a file named like the raw file was written"

# New Preset… offers to save under a factory preset's name: that is asked
# first, and Return keeps it (Cancel). Then a new name: the pop-up shows it,
# and a preset put in the folder meanwhile with a value that cannot be read
# is listed too, its warning in the window's words in the message bar.
presets_dir="$XDG_DATA_HOME/Quorvex/presets"
cat >"$presets_dir/Evening.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>displayName</key><string>Evening</string>
<key>Quorvex_Filter_inputEV</key><real>zero</real>
<key>Quorvex_Filter_inputContrast</key><real>0.5</real></dict></plist>
PLIST
factory=$(cd "$presets_dir" && md5sum -- *.plist)
wheel "$document" 1239 500 20 4  # over the labels, which never take the wheel
click "$document" 1432 165
sleep 1
shot new-preset-sheet 0
xdotool key ctrl+a
xdotool type --delay 30 Monochrome
xdotool key Return
shot replace-asked
xdotool key Return
sleep 1
[ "$(cd "$presets_dir" && md5sum -- *.plist)" = "$factory" ] || fail "Cancel replaced a preset"
xdotool key ctrl+a
xdotool type --delay 30 Mine
xdotool key Return
for _ in $(seq 50); do grep -qs '<string>Mine</string>' "$presets_dir"/*.plist && break; sleep 0.1; done
grep -qs '<string>Mine</string>' "$presets_dir"/*.plist || fail "the preset Mine was not saved"
shot preset-saved-shows-in-the-pop-up
grep -q 'The preset "Evening" sets Exposure to the text "zero", not a number' "$scratch/gui.log" ||
  fail "the unreadable number in Evening was not told"

# The presets, camera-profile and inspector windows from the Window menu,
# each fully on the screen.
menu "$document" w 3
presetwindow=$(window '^Presets$')
onscreen "$presetwindow" Presets
shot presets
menu "$presetwindow" w 2
profilewindow=$(window '^Camera Profiles$')
onscreen "$profilewindow" 'Camera Profiles'
shot camera-profiles
keys "$document" ctrl+i
inspector=$(window '^Inspector$')
onscreen "$inspector" Inspector
shot inspector

# The reset alert: Return must choose Cancel.
presets_before=$(find "$XDG_DATA_HOME/Quorvex" -type f | sort)
menu "$document" q 2
alert=$(focused_alert)
shot reset-alert
keys "$alert" Return
sleep 1
[ "$(xdotool getactivewindow getwindowname)" != Quorvex ] || fail "the reset alert stayed open"
shot after-return
presets_after=$(find "$XDG_DATA_HOME/Quorvex" -type f | sort)
[ "$presets_before" = "$presets_after" ] || fail "Return in the reset alert deleted files"

# A file whose BaselineExposure is absurd: the warning shows in its window,
# no alert stops the work, and opening it again does not repeat it.
mkdir -p "$HOME/Other"
cp "$sample" "$HOME/Other/Bright.dng"
exiftool -q -overwrite_original -BaselineExposure=256 "$HOME/Other/Bright.dng"
for round in first again; do
  keys "$document" ctrl+o
  panel=$(window '^Open$')
  xdotool type --delay 20 "$HOME/Other/Bright.dng"
  xdotool key Return
  bright=$(window '^Bright')
  sleep 3
  nothing_alerts "opening Bright.dng ($round)"
  shot "warning-$round" 0
  keys "$bright" ctrl+w
  gone '^Bright'
done

# A DNG named .jpg is not taken for an edited JPEG: the alert says what it is.
cp "$sample" "$HOME/Other/Disguised.jpg"
keys "$document" ctrl+o
panel=$(window '^Open$')
xdotool type --delay 20 "$HOME/Other/Disguised.jpg"
xdotool key Return
alert=$(focused_alert)
shot dng-named-jpg 1
keys "$alert" Return
gone '^Quorvex$'

# An export into a folder that cannot be written: the alert names both.
keys "$document" ctrl+e
panel=$(window '^Save As')
xdotool key ctrl+a
# Through a link: typing /proc/ itself lists all of /proc as completions,
# which can swallow the keys that follow.
ln -sfn /proc/1 "$HOME/Locked"
xdotool type --delay 20 "$HOME/Locked/QuorvexTestChart.jpg"
xdotool key Return
alert=$(focused_alert)
shot export-refused 1
keys "$alert" Return
gone '^Quorvex$'

# Two files opened together (handed to the running program): the second
# window is offset from the first, both fully on the screen.
cp "$sample" "$HOME/Other/First.dng"
cp "$sample" "$HOME/Other/Second.dng"
QT_QPA_PLATFORM=xcb "$build/quorvex-gui" "$HOME/Other/First.dng" "$HOME/Other/Second.dng" \
  >>"$scratch/gui.log" 2>&1
first=$(window '^First')
second=$(window '^Second')
sleep 2
onscreen "$first" First.dng
onscreen "$second" Second.dng
[ "$(xdotool getwindowgeometry "$first" | grep Position)" != \
  "$(xdotool getwindowgeometry "$second" | grep Position)" ] || fail "Second.dng hides First.dng"
shot two-files-cascade 0
keys "$second" ctrl+w
keys "$first" ctrl+w
gone '^First'
gone '^Second'

# Quit from the menus; nothing is left in the temporary folder.
keys "$document" ctrl+q
ends Quit
[ -z "$(ls -A "$TMPDIR")" ] || fail "the program left $(ls "$TMPDIR") in its temporary folder"
shot quit 0

# A launch with a folder: the browser shows that folder, in front.
QT_QPA_PLATFORM=xcb "$build/quorvex-gui" --verbose "$HOME/Other" >"$scratch/gui.log" 2>&1 &
gui=$!
browser=$(active '^Browser')
shot launch-with-a-folder 2
keys "$browser" ctrl+q
ends "the launch with a folder"
python3 - "$XDG_CONFIG_HOME/Quorvex/Defaults.plist" "$HOME/Other" <<'PY' || fail "the browser did not show the folder named at launch"
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    sys.exit(plistlib.load(f).get("imageDirectoryBookmark") != sys.argv[2].encode())
PY

# A launch whose file is refused: the alert must not hide under the splash;
# once it is answered no window is left and the program ends.
echo "not a raw file" >"$HOME/Other/Refused.dng"
QT_QPA_PLATFORM=xcb "$build/quorvex-gui" --verbose "$HOME/Other/Refused.dng" >"$scratch/gui.log" 2>&1 &
gui=$!
refused=$(focused_alert)
shot refused-file 2
keys "$refused" Return
ends "the refused file's alert"
rm "$HOME/Other/Refused.dng"

# The DNG named .jpg again, with the raw search folder set to its own
# folder: the alert still says what it is (and never "(null)").
python3 - "$XDG_CONFIG_HOME/Quorvex/Defaults.plist" "$HOME/Other" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    defaults = plistlib.load(f)
defaults["rawSearchDirectoryBookmark"] = sys.argv[2].encode()
with open(sys.argv[1], "wb") as f:
    plistlib.dump(defaults, f)
PY
QT_QPA_PLATFORM=xcb "$build/quorvex-gui" --verbose "$HOME/Other/Disguised.jpg" >"$scratch/gui.log" 2>&1 &
gui=$!
refused=$(focused_alert)
shot dng-named-jpg-with-search-folder 2
keys "$refused" Return
ends "the alert of the DNG named .jpg"
# A batch that stops: three photos selected, the second not a raw file. The
# first is exported, the batch stops at the second, and the alert says so
# and how many of how many were exported; the third is not written.
mkdir -p "$HOME/Batch"
cp "$sample" "$HOME/Batch/A.dng"
echo "not a raw file" >"$HOME/Batch/B.dng"
cp "$sample" "$HOME/Batch/C.dng"
python3 - "$XDG_CONFIG_HOME/Quorvex/Defaults.plist" "$HOME/Batch" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    defaults = plistlib.load(f)
defaults["imageDirectory"] = sys.argv[2]
defaults["imageDirectoryBookmark"] = sys.argv[2].encode()
defaults["ShowPopoverHelp"] = False
with open(sys.argv[1], "wb") as f:
    plistlib.dump(defaults, f)
PY
QT_QPA_PLATFORM=xcb "$build/quorvex-gui" --verbose >"$scratch/gui.log" 2>&1 &
gui=$!
browser=$(window '^Browser$')
sleep 3
xdotool windowsize "$browser" 1000 700 windowmove "$browser" 40 40
sleep 1
shot preset-warning-in-the-browser 0  # Evening's, in the message bar
click "$browser" 958 40  # Dismiss: the toolbar moves back up
sleep 1
click "$browser" 90 150
keys "$browser" ctrl+a
click "$browser" 815 35  # Batch
shot batch-menu
xdotool key --delay 400 Down Right Return  # Export with… › the first preset
alert=$(focused_alert)
shot batch-stopped 1
ls "$HOME/Batch" | grep -q '^A\.' || fail "the batch did not export A.dng before it stopped"
! ls "$HOME/Batch" | grep -q '^C\.[^d]' || fail "the batch went on past B.dng"
grep -q 'The batch stopped at “B.dng”: 1 of 3 photos were exported.' "$scratch/gui.log" ||
  fail "the alert does not say where the batch stopped"
keys "$alert" Return
gone '^Quorvex$'
keys "$browser" ctrl+q
ends Quit

# Runs the command line twice over FOLDER, keeping what each run printed in
# $out/command-line-NAME-N.txt: both must exit 0 and report no failure.
# Warnings (the preset saved with an unreadable number above) are no failure.
runTwice() {
  local folder=$1 name=$2 run status
  for run in 1 2; do
    status=0
    "$build/quorvex" "$folder" >"$out/command-line-$name-$run.txt" 2>"$scratch/run.err" || status=$?
    cat "$scratch/run.err" >>"$out/command-line-$name-$run.txt"
    [ "$status" -eq 0 ] || fail "quorvex run $run over $folder exited $status: $(cat "$scratch/run.err")"
    ! grep -v '^quorvex: warning: ' "$scratch/run.err" ||
      fail "quorvex run $run over $folder reported a failure"
  done
}
# wrote NAME N FILE...: run N of runTwice's NAME printed exactly these paths.
wrote() {
  local name=$1 run=$2
  shift 2
  [ "$(grep -v '^quorvex: ' "$out/command-line-$name-$run.txt")" = "$(printf '%s\n' "$@")" ] ||
    fail "run $run over the $name folder wrote: $(cat "$out/command-line-$name-$run.txt")"
}

# The command line over one folder twice, as a user repeats a run: the
# second passes over the first run's exports (never tried as edited files),
# writes its own under the next numbers, reports no failure and exits 0.
mkdir -p "$HOME/Again"
cp "$sample" "$HOME/Again/A.dng"
cp "$sample" "$HOME/Again/B.dng"
runTwice "$HOME/Again" run
wrote run 2 "$HOME/Again/A_1.jpg" "$HOME/Again/B_1.jpg"

# A camera's card, twice: raw files with the camera's JPEG beside one and an
# editor's copy beside the other. Each run develops both raw files, passes
# over the JPEG files, leaves the camera's untouched and exits 0.
mkdir -p "$HOME/Card"
cp "$sample" "$HOME/Card/IMG_0001.dng"
cp "$sample" "$HOME/Card/IMG_0002.dng"
cp "$HOME/Again/A.jpg" "$HOME/Card/IMG_0001.jpg"
exiftool -q -overwrite_original -Software="Camera firmware 1.00" "$HOME/Card/IMG_0001.jpg"
cp "$HOME/Card/IMG_0001.jpg" "$HOME/Card/IMG_0002-edit.jpg"
cp "$HOME/Card/IMG_0001.jpg" "$scratch/camera.jpg"
runTwice "$HOME/Card" card
wrote card 1 "$HOME/Card/IMG_0001_1.jpg" "$HOME/Card/IMG_0002.jpg"
wrote card 2 "$HOME/Card/IMG_0001_2.jpg" "$HOME/Card/IMG_0002_1.jpg"
cmp -s "$scratch/camera.jpg" "$HOME/Card/IMG_0001.jpg" || fail "the camera's JPEG was changed"
echo "first-minutes: $step screenshots in $out"
