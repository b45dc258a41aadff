#!/usr/bin/env bash
# Prepares the program's working directory: the folders it writes into and the
# files it reads (status pictures, sound, camera viewer), made by the build.
# usage: prepare-workdir.sh BUILD_DIR WORKDIR
set -euo pipefail
build=$1
workdir=$2
mkdir -p "$workdir/zdjecia/przechwyt" "$workdir/zdjecia/ruch" "$workdir/obrazki" "$workdir/kamera"
if [ -d "$build/assets" ]; then
  cp -r "$build/assets/." "$workdir/"
fi
