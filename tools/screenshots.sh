#!/usr/bin/env bash
# Takes a screenshot of each of the seven tab pages under a virtual X server,
# to check by eye that no caption is cut off or overlaps another.
# usage: tools/screenshots.sh OUTDIR [DISPLAY_NUMBER]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ROBOT_BUILD_DIR:-$top/build}
out=$(mkdir -p "$1" && cd "$1" && pwd)
display=:${2:-97}

work=$(mktemp -d)
"$top/scripts/prepare-workdir.sh" "$build" "$work"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb=$!
robot=""
cleanup() {
  [ -n "$robot" ] && kill "$robot" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

(cd "$work" && LD_LIBRARY_PATH="$build/lib/recording" exec "$build/bin/robot") &
robot=$!
window=$(xdotool search --sync --name "PROGRAM STERUJACY ROBOTEM" | head -1)
sleep 1
# The window starts on the last page; Ctrl+Tab moves on to the next one.
xdotool mousemove --window "$window" 240 300 click 1
for page in 7 1 2 3 4 5 6; do
  sleep 0.5
  import -window root -crop 520x600+0+160 "$out/tab$page.png"
  xdotool key --window "$window" ctrl+Tab
done
echo "screenshots in $out"
