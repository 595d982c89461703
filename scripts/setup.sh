#!/usr/bin/env bash
# Installs what building, running and testing need on a Debian 12 machine (run as root).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config dpkg-dev file clang-format
  qt6-base-dev libx11-dev libwayland-dev libjack-jackd2-dev libasound2-dev jackd2 pipewire pipewire-jack
  libgtest-dev googletest fonts-liberation2 libxtst-dev
  xvfb xauth x11-utils imagemagick desktop-file-utils appstream
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # jackd2 asks whether to enable realtime scheduling; the answer does not matter here.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
