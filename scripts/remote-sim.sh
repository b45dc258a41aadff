# Sourced by start-robot.sh for ROBOT_PORT=remote-sim, once the virtual robot
# runs (ROBOT_SIM_SOCKET is set): the program drives it over MQTT on this one
# machine, as it drives a robot on its own computer. Starts a private
# mosquitto on a free loopback port (its configuration and log in a folder of
# the run's private runtime folder), and robot-node serving the virtual robot
# under ROBOT_NAME (default: arena); then points the program at them
# (ROBOT_BROKER, ROBOT_NAME, the remote port library). Their processes go on
# `extra_pids`, which start-robot.sh ends after the program (the node first:
# it switches the motors off and says it is offline). robot-node's log goes
# beside the simulator's: robot-node.log.
remote_dir=$(mktemp -d "$XDG_RUNTIME_DIR/robot-remote.XXXXXX")
node_log="$(dirname "$log")/robot-node.log"
mosquitto_program=$(command -v mosquitto || echo /usr/sbin/mosquitto)
if [ ! -x "$mosquitto_program" ]; then
  echo "robot: ROBOT_PORT=remote-sim needs the broker mosquitto (apt-get install mosquitto)" >&2
  exit 1
fi
broker_port=""
for _ in 1 2 3 4 5 6 7 8 9 10; do
  port=$((20000 + RANDOM % 40000))
  # Nagle's algorithm off: a small message goes out at once.
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n' "$port" \
    >"$remote_dir/mosquitto.conf"
  "$mosquitto_program" -c "$remote_dir/mosquitto.conf" >"$remote_dir/mosquitto.log" 2>&1 &
  broker_pid=$!
  for _ in $(seq 50); do
    if grep -q "listen socket on port $port" "$remote_dir/mosquitto.log"; then broker_port=$port; break; fi
    kill -0 "$broker_pid" 2>/dev/null || break # the port was taken: another one
    sleep 0.1
  done
  [ -n "$broker_port" ] && break
  kill "$broker_pid" 2>/dev/null || true
done
if [ -z "$broker_port" ]; then
  echo "robot: the private broker (mosquitto) did not start:" >&2
  cat "$remote_dir/mosquitto.log" >&2
  exit 1
fi
extra_pids="$broker_pid"
export ROBOT_BROKER="mqtt://127.0.0.1:$broker_port"
export ROBOT_NAME=${ROBOT_NAME:-arena}
ROBOT_PORT=sim "$root/bin/robot-node" >"$node_log" 2>&1 &
node_pid=$!
extra_pids="$node_pid $extra_pids"
for _ in $(seq 150); do
  grep -q '^robot-node: serving the robot' "$node_log" && break
  if ! kill -0 "$node_pid" 2>/dev/null; then
    echo "robot: robot-node did not start:" >&2
    cat "$node_log" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q '^robot-node: serving the robot' "$node_log"; then
  echo "robot: robot-node did not serve the virtual robot within 15 s (see $node_log)" >&2
  exit 1
fi
# The program shows the robot's camera as robot-node sends it, unless
# another camera was chosen.
[ -n "${chosen_camera:-}" ] || unset ROBOT_CAPTURE_SOURCE
prepend_library_path "$root/lib/remote"
