#!/usr/bin/env bash
# Configures and builds into build/ (or $ROBOT_BUILD_DIR). With ROBOT_SANITIZE=1
# the build uses the release's own clang (`clang` and `clang++`, whatever
# their version) with AddressSanitizer and UndefinedBehaviorSanitizer (and the
# fuzz harnesses libFuzzer). Arguments go to `cmake --build`, for example
# --target fuzz_world.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ROBOT_BUILD_DIR:-$top/build}
options=()
if [ "${ROBOT_SANITIZE:-0}" = 1 ]; then
  options+=(-DROBOT_SANITIZE=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
fi
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build "$build" "$@" -- -j"$(nproc)"
