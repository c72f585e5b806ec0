#!/usr/bin/env bash
# Takes the picture of the updater's window for the docs: builds the Windows program and the
# virtual receiver, runs the program under Wine on a virtual X display with the receiver on
# COM7, selects COM7, presses Program, waits until the update is over and saves the window.
#
#   tools/screenshot.sh [--idle] [OUTPUT.png]      (default output: docs/updater.png)
#     --idle   save the window as it opens, without selecting a port or updating
#
# Nothing outside the build trees and the output file is touched: the X display, the Wine
# prefix and the receiver are private to the run and stopped at its end.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

die() {
  echo "screenshot.sh: $*" >&2
  exit 1
}

# Shows the end of a log (the run's folder goes at exit) and fails with the message.
die_showing() {
  local log=$1
  shift
  tail -n 20 "$log" >&2 || true
  die "$@"
}

idle=0
out=$repo/docs/updater.png
while (($# > 0)); do
  case $1 in
    --idle) idle=1 ;;
    -h | --help)
      sed -n '2,10s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    -*) die "unknown option $1 (try --help)" ;;
    *) out=$1 ;;
  esac
  shift
done
out=$(realpath -m -- "$out")
cd "$repo"

title="KORVEL7 Firmware Updater - Halvard Electronics Corp."
exe=build/windows/app/KORVEL7Updater.exe
sim=build/native/sim/korvel7-sim

tools/setup.sh screenshot
for tool in Xvfb xwininfo import; do
  command -v "$tool" >/dev/null || die "$tool is missing; tools/setup.sh should install it"
done
if ((!idle)) && ! command -v xdotool >/dev/null; then
  die "xdotool is missing; tools/setup.sh should install it"
fi

echo "screenshot.sh: building the native and Windows presets"
cmake --preset native >/dev/null
cmake --build --preset native --target korvel7-sim >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target KORVEL7Updater >/dev/null
[[ -f $exe ]] || die "the Windows build made no $exe"

wine=/usr/lib/wine/wine64 # the launcher /usr/bin/wine would hint about a missing wine32
[[ -x $wine ]] || wine=$(command -v wine64 || command -v wine) || die "Wine is not installed"
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
wine_fonts=$(dirname "$(realpath "$wine")")/../../share/wine/fonts
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installer dialogs

work=$(mktemp -d)
export WINEPREFIX=$work/prefix
xvfb=
sim_pid=
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  if [[ -d $WINEPREFIX ]]; then
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
  fi
  [[ -z $sim_pid ]] || kill -TERM "$sim_pid" 2>/dev/null || true
  [[ -z $xvfb ]] || kill -TERM "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths=$1 i
  shift
  for ((i = 0; i < tenths; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

window_id() { xwininfo -name "$title" 2>/dev/null | awk '/Window id:/ { print $4 }'; }
window_shown() { [[ -n $(window_id) ]]; }
# Commands the receiver has heard so far.
commands() { grep -c ': command ' "$work/sim.log" || true; }
receiver_heard() { (($(commands) > 0)); }

# Xvfb picks a free display and writes its number to the given descriptor.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
wait_for 100 test -s "$work/display" || die_showing "$work/xvfb.log" "Xvfb did not start"
DISPLAY=:$(head -n 1 "$work/display")
export DISPLAY
echo "screenshot.sh: X display $DISPLAY, Wine prefix $WINEPREFIX"

# The display comes first: a prefix booted without one gives later windows no driver.
"$wine" wineboot -i >"$work/wineboot.log" 2>&1 ||
  die_showing "$work/wineboot.log" "booting the Wine prefix failed"
"$wineserver" -w
# Wine does not load its own Tahoma from its data folder here and would draw the dialog
# in a substitute; fonts in the prefix are found. Marlett draws the caption's close box.
cp "$wine_fonts"/{tahoma,tahomabd,marlett}.ttf "$WINEPREFIX/drive_c/windows/Fonts/" ||
  die "Wine's fonts are not in $wine_fonts"

reg_add() {
  "$wine" reg add "$1" /v "$2" /t REG_SZ /d "$3" /f >/dev/null || die "reg add $1 $2 failed"
}
# There is no window manager, so Wine draws the caption itself.
reg_add 'HKCU\Software\Wine\X11 Driver' Decorated N
# The port list comes from the device tree in the registry: COM7 appears as a port device.
device='HKLM\SYSTEM\CurrentControlSet\Enum\KORVEL7SIM\GPS\0'
reg_add "$device" Class Ports
reg_add "$device" PortName COM7
reg_add "$device" FriendlyName "KORVEL7 virtual receiver (COM7)"

"$sim" --verbose --link "$WINEPREFIX/dosdevices/com7" >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
wait_for 100 test -L "$WINEPREFIX/dosdevices/com7" ||
  die_showing "$work/sim.log" "the simulator did not link COM7"

"$wine" "$exe" >"$work/app.log" 2>&1 &
wait_for 300 window_shown || die_showing "$work/app.log" "no window \"$title\" within 30 s"
window=$(window_id)
sleep 1

if ((!idle)); then
  # The focus starts on Program; backwards in the tab order come Refresh and the port list,
  # which keeps the instructions pane from being scrolled by a visit. Down selects the
  # list's first entry, COM7, the only port; Home shows its start; Enter is Program.
  xdotool windowfocus --sync "$window"
  xdotool key --delay 150 shift+Tab shift+Tab Down Home Return
  wait_for 300 receiver_heard ||
    die_showing "$work/sim.log" "the program sent the receiver nothing on COM7 within 30 s"
  echo "screenshot.sh: updating the virtual receiver"
  # The run is over when the receiver has heard nothing for 8 s: longer than any pause
  # of the update (3 s listening for NMEA lines, 4 s for the image check).
  last=-1
  quiet=0
  for ((s = 0; s < 600 && quiet < 8; s++)); do
    now=$(commands)
    if ((now == last)); then quiet=$((quiet + 1)); else quiet=0; fi
    last=$now
    sleep 1
  done
  ((quiet >= 8)) || die "the update was still running after 10 minutes"
  # The focus back on Program (enabled again), by way of Refresh.
  xdotool key --delay 150 Tab Tab
  sleep 0.5
fi

read -r x y w h < <(xwininfo -id "$window" |
  awk '/Absolute upper-left X:/ { x = $4 } /Absolute upper-left Y:/ { y = $4 }
       /Width:/ { w = $2 } /Height:/ { h = $2 } END { print x, y, w, h }')
mkdir -p "$(dirname "$out")"
import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out"
echo "screenshot.sh: wrote $out (${w}x${h})"
