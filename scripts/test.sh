#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and runs the whole test suite twice: once
# in a release build and once built with AddressSanitizer and
# UndefinedBehaviorSanitizer. Fails on any failing test or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --tests

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 900
}

echo "== release build =="
run_suite build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
echo "== sanitizer build =="
run_suite build-asan -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug -DSORVANE_SANITIZE=ON -DSORVANE_BUILD_BENCH=OFF
