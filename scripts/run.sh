#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds what `cmake --install build` puts in place
# (both programs, and the LV2 plugin when lv2-dev is installed) and starts the
# desktop program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The tests and their libraries are not needed to run the program.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
targets=(sorvane sorvane-render)
if cmake --build build --target help | grep -qE '(^|\.\.\. )sorvane_lv2(:|$)'; then
  targets+=(sorvane_lv2)
fi
cmake --build build -j "$(nproc)" --target "${targets[@]}"
exec ./build/app/sorvane "$@"
