#!/usr/bin/env bash
# Installs every Debian 12 package Lentora needs to build, run and test.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3 ccache
  libopencv-dev libeigen3-dev libjpeg-dev
  qt6-base-dev libqt6opengl6-dev qt6-image-formats-plugins
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-libav
  libgtest-dev libgmock-dev libbenchmark-dev libyaml-dev
  xvfb xauth libgl1-mesa-dri
  desktop-file-utils
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
