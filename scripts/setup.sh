#!/usr/bin/env bash
# Installs the Debian packages the program, its build and its tests need.
# Does nothing when they are all there already.
set -euo pipefail

packages=(
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
  clang-14 libclang-rt-14-dev
  fonts-liberation
  xvfb xdotool imagemagick libx11-dev
  socat
  libftdi1-dev libusb-1.0-0-dev umockdev libumockdev-dev
  # The install test checks the desktop entry and starts the program by it,
  # as a desktop menu does.
  desktop-file-utils libglib2.0-bin
  gtkwave sigrok-cli
  libgpiod-dev gpiod
  # The robot over the network: libmosquitto for the remote port library and
  # robot-node, the broker for ROBOT_PORT=remote-sim and the tests.
  libmosquitto-dev mosquitto
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
