#!/usr/bin/env bash
# Installs, from Debian 12's packages, whatever the build and the tests need
# and the machine does not have yet. Safe to run again.
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build pkg-config
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev python3 python3-numpy
  # desktop program
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev fonts-ipafont-gothic fonts-liberation
  # sound
  portaudio19-dev libsamplerate0-dev librtmidi-dev
  # headless sound and display for the live and window tests
  pulseaudio pulseaudio-utils xvfb xdotool x11-apps imagemagick sox espeak-ng jackd2 python3-jack-client
  desktop-file-utils appstream man-db groff-base  # the staged-install check
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 \
    install -y --no-install-recommends "${missing[@]}"
fi
