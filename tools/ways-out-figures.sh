#!/usr/bin/env bash
# The delays from each way the program can be stopped or ended with a motor
# running to the 0 on the data register, over ROUNDS runs (default 10) of the
# real-program tests that measure them: median and worst, in ms.
#   tools/ways-out-figures.sh [ROUNDS]
# Run after a build (./run-tests or scripts/build.sh); takes a few minutes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ROBOT_BUILD_DIR:-$top/build}
rounds=${1:-10}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
filter='RealProgram/StoppedProgram.*:RealProgramGuard.*:RealProgram/DeviceLibrary.KilledDuringALoop*:RealProgram/StoppedOnDevice.*:RealProgram/EveryLibrary.GuardKilledMidPulse*'
for i in $(seq "$rounds"); do
  QT_QPA_PLATFORM=offscreen "$build/bin/robot_tests" --gtest_filter="$filter" \
    --gtest_output="xml:$out/$i.xml" >/dev/null 2>&1 || echo "round $i: a test failed" >&2
done
# Every property ending in _us, by name (the second copy's rounds as one).
cat "$out"/*.xml | grep -o '[a-z0-9_]*_us[_0-9]*" value="[0-9]*"' | sed -E 's/_us(_[0-9]+)?" value="/ /; s/"$//' |
  sort -k1,1 -k2,2n | awk '
    { v[$1] = v[$1] " " $2; n[$1]++ }
    END { for (k in v) { split(substr(v[k], 2), a, " "); printf "%-28s runs %3d  median %8.1f ms  worst %8.1f ms\n", k, n[k], a[int((n[k] + 1) / 2)] / 1000, a[n[k]] / 1000 } }' |
  sort
