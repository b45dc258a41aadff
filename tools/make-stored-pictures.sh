#!/usr/bin/env bash
# Redraws the pictures stored with the window (form/pictures/*.png) with the
# project's generator. Run after changing tools/Pictures.cpp, then commit them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ROBOT_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target make_pictures
"$build/bin/make_pictures" --stored "$top/form/pictures"
