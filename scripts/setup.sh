#!/usr/bin/env bash
# Installs what building, running and testing need on a Debian 12 machine (run as root).
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
need_packages \
  build-essential cmake ninja-build pkg-config dpkg-dev file clang-format \
  qt6-base-dev libx11-dev libxcb-shm0-dev libwayland-dev libjack-jackd2-dev libasound2-dev jackd2 pipewire pipewire-jack \
  libgtest-dev googletest fonts-liberation2 libxtst-dev xdotool \
  xvfb xauth x11-utils imagemagick desktop-file-utils appstream
