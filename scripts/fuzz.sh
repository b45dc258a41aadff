#!/usr/bin/env bash
# Fuzzes one harness for a while, in the sanitizer build (build-sanitize/):
#
#   scripts/fuzz.sh NAME [SECONDS] [libFuzzer options...]
#
# NAME is one of world, port_packets, status_script, pin_map, convert, frames,
# trace_reader, firmata, remote_messages (see fuzz/); SECONDS defaults to 60. The repository's corpus (fuzz/corpus/NAME)
# is only read: new inputs go to build-sanitize/fuzz/corpus/NAME, and the
# input of a fault the harness finds to build-sanitize/fuzz/findings/NAME/.
# Copy a finding into fuzz/corpus/NAME once it is mended, so that every run of
# ./run-tests replays it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
name=${1:?usage: scripts/fuzz.sh NAME [SECONDS] [libFuzzer options...]}
seconds=${2:-60}
shift $(($# >= 2 ? 2 : 1))
if [ ! -d "$top/fuzz/corpus/$name" ]; then
  echo "no harness $name (have: $(ls "$top/fuzz/corpus" | tr '\n' ' '))" >&2
  exit 2
fi
"$top/scripts/setup.sh"
export ROBOT_SANITIZE=1
export ROBOT_BUILD_DIR=${ROBOT_SANITIZE_BUILD_DIR:-$top/build-sanitize}
"$top/scripts/build.sh" --target "fuzz_$name"
work=$ROBOT_BUILD_DIR/fuzz/corpus/$name
findings=$ROBOT_BUILD_DIR/fuzz/findings/$name
mkdir -p "$work" "$findings"
# A harness's dictionary (fuzz/dict/NAME.dict), when it has one, guides it.
dict=()
[ -f "$top/fuzz/dict/$name.dict" ] && dict=(-dict="$top/fuzz/dict/$name.dict")
export QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS=suppressions=$top/scripts/lsan-suppressions.txt:print_suppressions=0
exec "$ROBOT_BUILD_DIR/bin/fuzz_$name" -max_total_time="$seconds" -artifact_prefix="$findings/" \
  -print_final_stats=1 "${dict[@]}" "$@" "$work" "$top/fuzz/corpus/$name"
