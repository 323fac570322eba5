#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs, from Debian 12's packages, what the machine does not have yet.
#
#   setup.sh            what building and running the program needs
#   setup.sh --tests    that, and what the test suite needs as well
#
# Never installs a package that would make apt remove an installed one: the
# whole install is tried with `apt-get -s` first, and a package that would
# remove something is left out with a message saying what it would remove.
# Never installs a sound server or a display server for the program itself.
# Safe to run again.
set -euo pipefail

with_tests=0
case "${1:-}" in
  --tests) with_tests=1 ;;
  "") ;;
  *) echo "usage: setup.sh [--tests]" >&2; exit 2 ;;
esac

# Building and running the program.
run_packages=(
  # the build
  g++ cmake ninja-build pkg-config
  # the window and its fonts
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev fonts-ipafont-gothic fonts-liberation
  # sound input and output, resampling of loaded WAV files
  libpulse-dev libsamplerate0-dev
  # MIDI input on the ALSA sequencer and on JACK
  libasound2-dev libjack-jackd2-dev
  # real-time priority through RealtimeKit on the system D-Bus
  libdbus-1-dev
  # the LV2 plugin's headers (the plugin is built when they are installed)
  lv2-dev
  # the two volume buttons open the sound server's mixer
  pavucontrol
)

# The test suite and the benchmarks, on top of the above.
test_packages=(
  # test and benchmark libraries
  libgtest-dev libgmock-dev libbenchmark-dev
  # speech and its checks for the live tests
  python3 python3-numpy sox espeak-ng
  # a virtual display, input and screenshots for the window tests
  xvfb xdotool x11-apps x11-utils imagemagick fonts-dejavu-core
  # a private JACK server and a MIDI source for the live MIDI test
  jackd2 python3-jack-client
  # validators and manual page rendering for the staged-install check
  desktop-file-utils appstream man-db groff-base
  # the LV2 plugin's tests: the lilv test host, sord_validate under
  # lv2_validate, jalv for the live test; lv2bench and mda-lv2's talkbox
  # for the plugin's benchmark
  liblilv-dev sordi jalv lilv-utils mda-lv2
  # libFuzzer (clang's runtime library) for the file readers' fuzz targets
  clang libclang-rt-14-dev
  # the Debian packages' build, their lintian check, and the clean Debian
  # tree the package test installs them in
  build-essential debhelper dpkg-dev fakeroot lintian debootstrap
)

# The live tests run a private, headless instance of an audio server: of
# PipeWire's where its PulseAudio server is installed (a desktop), of
# PulseAudio otherwise (CI). Installing PulseAudio beside PipeWire would
# replace the desktop's sound server, so it is never done.
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
if installed pipewire-pulse || installed pipewire-audio; then
  test_server_packages=(pipewire pipewire-pulse wireplumber dbus-daemon pulseaudio-utils)
else
  test_server_packages=(pulseaudio pulseaudio-utils)
fi

packages=("${run_packages[@]}")
if [ "$with_tests" = 1 ]; then
  packages+=("${test_packages[@]}" "${test_server_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
apt=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
install=(install -y --no-install-recommends)

# Packages of the list that a dry run says would remove an installed one.
would_remove() {
  "${apt[@]}" -s "${install[@]}" "$@" 2>/dev/null | sed -n 's/^Remv \([^ ]*\).*/\1/p'
}

echo "Installing: ${missing[*]}"
"${apt[@]}" update
if [ -n "$(would_remove "${missing[@]}")" ]; then
  # Find the culprits one by one and leave them out.
  keep=()
  for p in "${missing[@]}"; do
    removed=$(would_remove "$p" | tr '\n' ' ')
    if [ -n "$removed" ]; then
      echo "Not installing $p: apt would remove ${removed% }" >&2
    else
      keep+=("$p")
    fi
  done
  missing=("${keep[@]}")
  if [ ${#missing[@]} -gt 0 ] && [ -n "$(would_remove "${missing[@]}")" ]; then
    echo "Not installing ${missing[*]}: together they would remove installed packages" >&2
    exit 1
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  "${apt[@]}" "${install[@]}" "${missing[@]}"
fi
