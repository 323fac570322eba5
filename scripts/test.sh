#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and runs the whole test suite twice: once
# in a release build and once built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The release run includes the Debian packages'
# test (scripts/package-test.sh: root or sudo, and the Debian mirror). Then builds the file readers' fuzz targets with
# clang in a tree of their own and runs each for a short while. Fails on any
# failing test, sanitizer report or fuzzer finding.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --tests

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Leaks inside system libraries that nothing of ours can free.
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"

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
echo "== fuzz build (clang) =="
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_FUZZ=ON
cmake --build build-fuzz -j "$jobs"
ctest --test-dir build-fuzz -L fuzz --output-on-failure -j "$jobs"
