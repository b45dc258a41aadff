#!/usr/bin/env bash
# Prints the private runtime folder for the program and the virtual robot's
# sockets: XDG_RUNTIME_DIR when it is set, once checked to be a folder (not a
# symbolic link) of this user that nobody else may enter; else a fresh folder
# made by mktemp (mode 0700, a name nobody can guess), which the caller
# removes. Stops with a message when XDG_RUNTIME_DIR is set but not private:
# another user could then reach the virtual robot or put a socket of theirs
# in its place.
set -euo pipefail
dir=${XDG_RUNTIME_DIR:-}
if [ -z "$dir" ]; then
  mktemp -d "${TMPDIR:-/tmp}/robot-runtime-XXXXXX"
  exit 0
fi
problem=""
if [ -L "$dir" ]; then
  problem="is a symbolic link"
elif [ ! -d "$dir" ]; then
  problem="is not a folder"
else
  read -r owner mode < <(stat -c '%u %a' -- "$dir")
  if [ "$owner" != "$(id -u)" ]; then
    problem="belongs to user $owner, not to you (user $(id -u))"
  elif (( 8#$mode & 8#077 )); then
    problem="has mode $(printf '%04o' "$((8#$mode))"): others may enter it"
  fi
fi
if [ -n "$problem" ]; then
  echo "robot: XDG_RUNTIME_DIR ($dir) $problem." >&2
  echo "       It must be a folder of your own with mode 0700; or unset XDG_RUNTIME_DIR and" >&2
  echo "       a fresh private folder is made for this run." >&2
  exit 1
fi
printf '%s\n' "$dir"
