#!/usr/bin/env bash
# Prepares the program's working directory: the folders it writes into and the
# files it reads (status pictures, sound, camera viewer), and the settings
# files that come with the virtual robot's worlds (ROBOT_SETTINGS=NAME).
# Pictures the program wrote there earlier stay, and so does a settings file
# already there: the operator may have changed its fields.
# usage: prepare-workdir.sh BUILD_DIR WORKDIR         (from the build)
#        prepare-workdir.sh ASSETS_DIR VIEWER WORKDIR (the installed program)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -eq 2 ]; then
  assets=$1/assets
  viewer=$top/camera/viewer/kamera
  worlds=$top/sim/worlds
  workdir=$2
else
  assets=$1
  viewer=$2
  worlds=$(dirname "$assets")/worlds
  workdir=$3
fi
mkdir -p "$workdir/zdjecia/przechwyt" "$workdir/zdjecia/ruch" "$workdir/obrazki" "$workdir/kamera"
if [ -d "$assets" ]; then
  cp -r "$assets/." "$workdir/"
fi
# The stand-alone camera viewer that "Kamera 1" starts.
install -m 755 "$viewer" "$workdir/kamera/kamera"
for settings in "$worlds"/*.settings; do
  [ -e "$settings" ] || continue
  [ -e "$workdir/$(basename "$settings")" ] || cp "$settings" "$workdir/"
done
