#!/usr/bin/env bash
# Installs the Debian packages the program, its build and its tests need.
# Does nothing when they are all there already.
#
# Each entry below is one need: a package, or several separated by "|", the
# first the system offers taken (a later one already installed does not stand
# in for an earlier one the system offers). The names are those every release
# in use has (Debian 12 and 13); where a package's name carries a version, the
# release's own default is named instead (clang, not clang-14). A need no
# package of this system serves is said by name, and nothing is installed.
set -euo pipefail

needs=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libxcb1-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
  # The X11 video outputs (ximagesink, xvimagesink) that the camera viewer
  # ("Kamera 1") shows its window with; without one nothing shows.
  gstreamer1.0-x
  # The Raspberry Pi camera's way (libcamerasrc); its tests need it too.
  gstreamer1.0-libcamera
  libgtest-dev libgmock-dev libbenchmark-dev
  # The sanitizer build and the fuzz harnesses: the release's own clang and
  # its sanitizer and libFuzzer runtime (clang-rt), whatever their version,
  # and llvm's llvm-symbolizer, which names the functions in the sanitizers'
  # reports (the leak suppressions match those names).
  clang "libclang-rt-dev|clang-rt-of-clang" llvm
  # The window's fonts: Liberation Sans, and Liberation Sans Narrow for its
  # dashed rules (a package of its own since Debian 13).
  fonts-liberation "fonts-liberation-sans-narrow|fonts-liberation"
  # xauth: xvfb-run (the README's headless ./run) needs it, and it is only
  # recommended by xvfb.
  xvfb xauth xdotool imagemagick libx11-dev
  socat
  libftdi1-dev libusb-1.0-0-dev umockdev libumockdev-dev
  # The install test checks the desktop entry and starts the program by it,
  # as a desktop menu does.
  desktop-file-utils libglib2.0-bin
  gtkwave sigrok-cli
  # libgpiod 1.6 (Debian 12) or 2 (Debian 13): the GPIO library builds on either.
  libgpiod-dev gpiod
  # The robot over the network: libmosquitto for the remote port library and
  # robot-node, the broker for ROBOT_PORT=remote-sim and the tests (with its
  # mosquitto_passwd); openssl makes the secured broker's test certificates.
  libmosquitto-dev mosquitto openssl
)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# Offered: apt knows a version of it to install.
offered() {
  local candidate
  candidate=$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p')
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}
# clang-rt-of-clang: the runtime package of the clang the release's `clang`
# stands for (libclang-rt-19-dev for clang-19), for releases without the
# unversioned name.
resolve() {
  if [ "$1" = clang-rt-of-clang ]; then
    local version
    version=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -1)
    [ -n "$version" ] && echo "libclang-rt-$version-dev"
  else
    echo "$1"
  fi
}

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
updated=0
update() { [ $updated = 1 ] || $sudo apt-get update -qq; updated=1; }
# Which choice the system offers needs apt's package lists.
compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || update

# A need is met by its first choice that is installed, unless an earlier one
# is offered (then that one is wanted).
unmet=()
for need in "${needs[@]}"; do
  met=0
  IFS='|' read -r -a choices <<<"$need"
  for choice in "${choices[@]}"; do
    name=$(resolve "$choice") || true
    [ -n "$name" ] || continue
    if installed "$name"; then met=1; break; fi
    [ ${#choices[@]} -gt 1 ] && offered "$name" && break
  done
  [ $met = 1 ] || unmet+=("$need")
done
[ ${#unmet[@]} -eq 0 ] && exit 0
update

chosen=()
lacking=()
for need in "${unmet[@]}"; do
  IFS='|' read -r -a choices <<<"$need"
  pick=""
  tried=()
  for choice in "${choices[@]}"; do
    name=$(resolve "$choice") || true
    [ -n "$name" ] || continue
    tried+=("$name")
    if offered "$name"; then pick=$name; break; fi
  done
  if [ -n "$pick" ]; then
    chosen+=("$pick")
  else
    lacking+=("${tried[*]:-$need}")
  fi
done
if [ ${#lacking[@]} -gt 0 ]; then
  . /etc/os-release 2>/dev/null || true
  echo "setup: ${PRETTY_NAME:-this system} offers no package for these needs:" >&2
  for need in "${lacking[@]}"; do echo "  ${need// / or }" >&2; done
  echo "setup: nothing was installed. Check the package sources (apt-cache policy NAME), or install" >&2
  echo "       a package that serves the same need and add it as a choice in scripts/setup.sh." >&2
  exit 1
fi

echo "Installing: ${chosen[*]}"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${chosen[@]}"
