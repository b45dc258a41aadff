#!/usr/bin/env bash
# Prepares the program's working directory: the folders it writes into and the
# files it reads (status pictures, sound, camera viewer), made by the build.
# usage: prepare-workdir.sh BUILD_DIR WORKDIR
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$1
workdir=$2
mkdir -p "$workdir/zdjecia/przechwyt" "$workdir/zdjecia/ruch" "$workdir/obrazki" "$workdir/kamera"
if [ -d "$build/assets" ]; then
  cp -r "$build/assets/." "$workdir/"
fi
# The stand-alone camera viewer that "Kamera 1" starts.
install -m 755 "$top/camera/viewer/kamera" "$workdir/kamera/kamera"
