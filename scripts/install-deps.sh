#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git binutils clang-format
  libboost-dev libboost-system-dev libboost-thread-dev libboost-filesystem-dev
  libboost-date-time-dev
  libfmt-dev uuid-dev libyuv-dev nlohmann-json3-dev libboost-program-options-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-video-dev libopencv-objdetect-dev opencv-data
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
