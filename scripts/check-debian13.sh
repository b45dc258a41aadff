#!/usr/bin/env bash
# Runs the README's test commands on a fresh Debian 13 ("trixie"): a chroot
# made with debootstrap from Debian's own packages, into which the tree's last
# commit is cloned; there `./run-tests` and `./run-tests --sanitize` install
# what they need and run every test, as a new user's first try would.
#
#   scripts/check-debian13.sh [--suite SUITE] [--only plain|sanitize]
#                             [--with "PACKAGES"] [--refresh] [--keep]
#                             [-- CTEST-ARGS...]
#
#   --suite SUITE   another Debian release (bookworm: a fresh Debian 12)
#   --only WHICH    one half: plain (./run-tests, then ./run for a while under
#                   Xvfb) or sanitize (./run-tests --sanitize)
#   --with PKGS     install these packages first, as a machine that has more
#                   than the set-up installs (for example the GStreamer
#                   plugins gstreamer1.0-plugins-bad gstreamer1.0-libav)
#   --refresh       make the base system again (it is kept between runs)
#   --keep          leave the run's chroot (unmounted) in place for a look;
#                   the next run removes it
#
# What is kept between runs, in $ROBOT_CHECK_CACHE (default
# ~/.cache/robot-check): SUITE/base, the debootstrapped system (remade when
# older than a week); SUITE/debs, every package downloaded; SUITE/logs, the
# last run's output. Each run starts from a copy of the base, so the set-up
# script meets a machine that has nothing of ours. Needs root (through sudo
# otherwise), debootstrap (installed when missing) and Debian's mirror.
# Only committed work is checked: the clone is of HEAD.
#
# Figures (2 cores shared with three other builds, load 9 to 14; packages
# already in the cache): each half 59-61 minutes, of which the set-up 3m36s to
# 3m55s, the build about 45 minutes and the tests 9m06s (plain) and 9m46s
# (sanitize); debootstrap about 2 minutes more when the base is made. On an
# unloaded machine the halves take about what ./run-tests and --sanitize take
# there (CI: 23 minutes for both).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

suite=trixie
only=""
with=""
refresh=0
keep=0
ctest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --suite) suite=${2:?--suite needs a release name}; shift 2 ;;
    --only) only=${2:?--only needs plain or sanitize}; shift 2 ;;
    --with) with=${2:?--with needs a list of packages}; shift 2 ;;
    --refresh) refresh=1; shift ;;
    --keep) keep=1; shift ;;
    --) shift; ctest_args=("$@"); break ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "check-debian13: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
case $only in ""|plain|sanitize) ;; *) echo "check-debian13: --only takes plain or sanitize" >&2; exit 2 ;; esac
case $suite in *[!a-z]*|"") echo "check-debian13: $suite is no Debian release name" >&2; exit 2 ;; esac

if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "check-debian13: needs root (or sudo) for debootstrap and chroot" >&2; exit 2; }
  exec sudo ROBOT_CHECK_CACHE="${ROBOT_CHECK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/robot-check}" \
    ROBOT_CHECK_MIRROR="${ROBOT_CHECK_MIRROR:-}" "$0" --suite "$suite" ${only:+--only "$only"} ${with:+--with "$with"} \
    $([ $refresh = 1 ] && echo --refresh) $([ $keep = 1 ] && echo --keep) -- "${ctest_args[@]}"
fi

cache=${ROBOT_CHECK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/robot-check}/$suite
mirror=${ROBOT_CHECK_MIRROR:-http://deb.debian.org/debian}
base=$cache/base
root=$cache/run
logs=$cache/logs
mkdir -p "$cache/debs" "$logs"
# One check at a time on a cache: a second would remove the first's chroot
# and wait on its apt lock.
exec 9>"$cache/.lock"
flock -n 9 || { echo "check-debian13 [$suite]: another check runs on $cache; wait for it or set ROBOT_CHECK_CACHE" >&2; exit 1; }

say() { echo "check-debian13 [$suite]: $*"; }
elapsed() { local s=$(( $(date +%s) - $1 )); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

# ---- The chroot's mounts: made once, undone on every way out -------------------------------
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null || true
  done
  mounted=()
}
# A bind mount that never propagates back: unmounting it leaves the host's as it is.
bind() {
  mkdir -p "$2"
  mount --rbind "$1" "$2"
  mount --make-rslave "$2"
  mounted+=("$2")
}
# Whatever still runs inside the chroot (a test's leftovers), by its root.
stop_chroot_processes() {
  local signal pid
  [ -d "$root" ] || return 0
  for signal in TERM KILL; do
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
      [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -"$signal" "$pid" 2>/dev/null
    done
    [ $signal = TERM ] && sleep 2
  done
  return 0
}
finish() {
  stop_chroot_processes
  unmount_all
  if [ $keep = 0 ] && [ -d "$root" ]; then
    # Never remove through a mount that did not come undone.
    if ! grep -q " $root/" /proc/mounts; then rm -rf "$root"; fi
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM

# ---- The base system: debootstrap once, kept ----------------------------------------------
command -v debootstrap >/dev/null || {
  say "installing debootstrap"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
}
if [ -d "$base" ] && { [ $refresh = 1 ] || [ -n "$(find "$base/.made" -mtime +7 2>/dev/null)" ] || [ ! -e "$base/.made" ]; }; then
  say "removing the old base system"
  rm -rf "$base"
fi
if [ ! -d "$base" ]; then
  say "making the base system with debootstrap --variant=minbase $suite ($mirror)"
  start=$(date +%s)
  rm -rf "$base.part"
  debootstrap --variant=minbase --cache-dir="$cache/debs" "$suite" "$base.part" "$mirror" \
    >"$logs/debootstrap.log" 2>&1 || { tail -20 "$logs/debootstrap.log" >&2; say "debootstrap failed (log: $logs/debootstrap.log)"; exit 1; }
  # Services are never started in the chroot.
  printf '#!/bin/sh\nexit 101\n' >"$base.part/usr/sbin/policy-rc.d"
  chmod 755 "$base.part/usr/sbin/policy-rc.d"
  date -u +%FT%TZ >"$base.part/.made"
  mv "$base.part" "$base"
  say "base system made in $(elapsed "$start")"
fi

# ---- A fresh copy, the tree cloned into it -------------------------------------------------
if [ -d "$root" ]; then
  grep -q " $root/" /proc/mounts && { say "$root still has mounts; unmount them first"; exit 1; }
  rm -rf "$root"
fi
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
commit=$(git -C "$top" rev-parse HEAD)
git -C "$top" diff --quiet HEAD 2>/dev/null || say "note: uncommitted changes are not checked (only HEAD is cloned)"
git clone -q --no-checkout "$top" "$root/root/robot"
git -C "$root/root/robot" checkout -q --detach "$commit"
say "checking $(git -C "$top" log -1 --format='%h %s' "$commit")"

bind /proc "$root/proc"
bind /sys "$root/sys"
bind /dev "$root/dev"
# The packages apt downloads are kept for the next run.
bind "$cache/debs" "$root/var/cache/apt/archives"

# ---- The README's commands, as root in the chroot ------------------------------------------
in_chroot() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@" 9>&-
}
status=0
summary=()
run_half() {
  local name=$1; shift
  local start log=$logs/$name.log
  start=$(date +%s)
  say "running $* (log: $log)"
  set +e
  in_chroot /bin/bash -c 'cd /root/robot && exec "$@"' - "$@" "${ctest_args[@]}" >"$log" 2>&1
  local code=$?
  set -e
  local result
  result=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1)
  summary+=("$name: ${result:-no test result} ($(elapsed "$start"), exit $code)")
  if [ $code -ne 0 ]; then
    status=1
    grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|Subprocess|SEGFAULT|Not Run)' "$log" | head -40 >&2 || tail -30 "$log" >&2
  fi
}
if [ -n "$with" ]; then
  say "installing as well: $with"
  # shellcheck disable=SC2086
  in_chroot /bin/sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"' - $with \
    >"$logs/with.log" 2>&1 || { tail -20 "$logs/with.log" >&2; say "could not install $with"; exit 1; }
fi
# The other README command: ./run starts the program on the virtual robot and
# keeps it running (under Xvfb here) until it is ended.
check_run() {
  local start log=$logs/run.log code
  start=$(date +%s)
  say "running xvfb-run -a ./run for 40 s (log: $log)"
  set +e
  in_chroot /bin/bash -c 'cd /root/robot && exec timeout 40 xvfb-run -a ./run' >"$log" 2>&1
  code=$?
  set -e
  stop_chroot_processes
  if [ $code -eq 124 ]; then
    summary+=("run: still running after 40 s, as it should ($(elapsed "$start"))")
  else
    status=1
    summary+=("run: ended with status $code before 40 s (see $log)")
    tail -20 "$log" >&2
  fi
}
[ "$only" = sanitize ] || { run_half plain ./run-tests; check_run; }
[ "$only" = plain ] || run_half sanitize ./run-tests --sanitize

say "$(in_chroot sh -c '. /etc/os-release; echo "$PRETTY_NAME"'), commit ${commit:0:12}"
for line in "${summary[@]}"; do say "$line"; done
exit $status
