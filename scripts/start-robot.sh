#!/usr/bin/env bash
# Starts the program in its working directory, on the robot ROBOT_PORT names:
#   sim        (default) the virtual robot: robot-sim starts beside the program
#              with the default world, or the world file named by
#              ROBOT_SIM_WORLD, and is ended when the program ends
#   recording  the recording port library (a register file with a trace)
#   hardware   the real parallel port and the first V4L2 camera
#   ftdi       a USB adapter with an FTDI FT232R or FT232H (ROBOT_FTDI picks
#              one by serial number or bus path) and the first V4L2 camera
#   gpio       the GPIO lines of a single-board computer (the pin map says
#              which) and the first V4L2 camera
#   firmata    a board with the standard Firmata firmware on USB serial
#              (ROBOT_SERIAL names its device; else the first ttyACM/ttyUSB)
#              and the first V4L2 camera
#   remote     a robot on its own computer, served by robot-node, through the
#              MQTT broker ROBOT_BROKER, under the name ROBOT_NAME
#   remote-sim the same on this one machine: the virtual robot, a private
#              broker and robot-node beside the program (scripts/remote-sim.sh)
# usage: start-robot.sh ROOT WORKDIR SIM_LOG [PROGRAM ARGUMENTS...]
# ROOT holds bin/ (the program, robot-sim and the hardware port library) and
# lib/<name>/ (the other port libraries: recording, sim, ftdi, gpio,
# firmata, remote; ROBOT_PORT=<name> takes any library there): the build
# folder, or the installed program's folder. Used by ./run and by the
# installed launcher.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$1
workdir=$2
log=$3
shift 3

# The usage needs no robot and no display.
for argument in "$@"; do
  case $argument in
    --help|-h) exec "$root/bin/robot" --help ;;
  esac
done
# The program runs in its working directory; a relative settings file name is
# the user's, from the folder started in.
export ROBOT_START_DIR=$PWD

# Qt and the virtual robot's sockets want a private runtime folder: the one
# the session gives (checked), else a fresh one for this run.
made_runtime=""
[ -n "${XDG_RUNTIME_DIR:-}" ] || made_runtime=yes
runtime_dir="$here/runtime-dir.sh"
[ -x "$runtime_dir" ] || runtime_dir="$here/runtime-dir"
XDG_RUNTIME_DIR=$("$runtime_dir") || exit 1
export XDG_RUNTIME_DIR
sim_pid=""
extra_pids=""
cleanup() {
  # What ROBOT_PORT=remote-sim started, in its order (robot-node first).
  for pid in $extra_pids; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  # The simulator ends with the program (SIGTERM lets it remove its sockets).
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ -n "$made_runtime" ]; then rm -rf -- "$XDG_RUNTIME_DIR"; fi
}
trap cleanup EXIT
# Ended from outside (a closed terminal, a logout, kill): the program gets
# the same signal, ends with its motors off, and the simulator after it.
program_pid=""
forward() {
  if [ -n "$program_pid" ]; then kill -"$1" "$program_pid" 2>/dev/null || true; fi
}
trap 'forward TERM' TERM
trap 'forward HUP' HUP

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "robot: no display to show the window on (DISPLAY is not set)." >&2
  echo "       Run it from a desktop session, or headless under xvfb-run -a." >&2
  exit 1
fi

prepend_library_path() {
  export LD_LIBRARY_PATH="$1${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
}

case "${ROBOT_PORT:-sim}" in
  sim|remote-sim)
    "$root/bin/robot-sim" ${ROBOT_SIM_WORLD:+"$ROBOT_SIM_WORLD"} >"$log" 2>&1 &
    sim_pid=$!
    ready=""
    source=""
    for _ in $(seq 150); do
      ready=$(grep -m1 '^robot-sim: ready ' "$log" || true)
      source=$(grep -m1 '^robot-sim: camera source: ' "$log" || true)
      [ -n "$ready" ] && [ -n "$source" ] && break
      if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "robot: the virtual robot did not start:" >&2
        cat "$log" >&2
        exit 1
      fi
      sleep 0.1
    done
    if [ -z "$ready" ] || [ -z "$source" ]; then
      echo "robot: the virtual robot did not get ready within 15 s (see $log)" >&2
      exit 1
    fi
    socket=${ready#*socket=}
    export ROBOT_SIM_SOCKET=${socket%% camera=*}
    # The robot's camera, unless another was chosen (remote-sim: the node's
    # camera, which the program then shows over the network).
    chosen_camera=${ROBOT_CAPTURE_SOURCE:-}
    export ROBOT_CAPTURE_SOURCE=${ROBOT_CAPTURE_SOURCE:-${source#robot-sim: camera source: }}
    if [ "${ROBOT_PORT:-sim}" = remote-sim ]; then
      remote_sim="$here/remote-sim.sh"
      [ -f "$remote_sim" ] || remote_sim="$here/remote-sim"
      . "$remote_sim"
    else
      prepend_library_path "$root/lib/sim"
    fi
    ;;
  hardware)  # the loader finds the hardware library next to the program
    export ROBOT_CAPTURE_SOURCE=${ROBOT_CAPTURE_SOURCE:-v4l2} ;;
  ftdi)
    prepend_library_path "$root/lib/ftdi"
    export ROBOT_CAPTURE_SOURCE=${ROBOT_CAPTURE_SOURCE:-v4l2} ;;
  gpio)
    prepend_library_path "$root/lib/gpio"
    export ROBOT_CAPTURE_SOURCE=${ROBOT_CAPTURE_SOURCE:-v4l2} ;;
  firmata)
    prepend_library_path "$root/lib/firmata"
    export ROBOT_CAPTURE_SOURCE=${ROBOT_CAPTURE_SOURCE:-v4l2} ;;
  *)  # recording, remote, and any other port library: its folder in lib/
    if [[ "${ROBOT_PORT}" =~ ^[a-z0-9-]+$ ]] && [ -f "$root/lib/$ROBOT_PORT/libinpout32.so" ]; then
      prepend_library_path "$root/lib/$ROBOT_PORT"
    else
      echo "robot: ROBOT_PORT must be 'sim', 'hardware', 'remote-sim' or a port library of $root/lib" \
        "('recording', 'ftdi', 'gpio', 'firmata', 'remote', ...)" >&2
      exit 2
    fi ;;
esac
cd "$workdir"
"$root/bin/robot" "$@" &
program_pid=$!
status=0
# A trapped signal interrupts the wait; wait again for the program's end.
while :; do
  wait "$program_pid" && status=0 || status=$?
  kill -0 "$program_pid" 2>/dev/null || break
done
exit "$status"
