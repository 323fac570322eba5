#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The program's command line, with no display at all: --help and --version
# answer on stdout with status 0, a start without a display says so in one
# line and ends with status 1 (not an abort), and none of them leaves
# anything behind in the user's folders (no lock, no settings, no socket).
#   command_line.sh PATH_TO_SORVANE VERSION WORK_DIR
set -uo pipefail
prog=$1
version=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# An X display number with no server behind it.
free_display=""
for n in $(seq 90 199); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
    free_display=":$n"
    break
  fi
done

# run NAME EXPECTED_STATUS ENV... -- ARGS...: runs the program in a clean
# environment with its own empty home and runtime folder.
run() {
  local name=$1 expected=$2
  shift 2
  local env_args=()
  while [ "$1" != "--" ]; do
    env_args+=("$1")
    shift
  done
  shift
  local dir="$work/$name"
  mkdir -p "$dir/home" "$dir/runtime"
  chmod 700 "$dir/runtime"
  timeout 20 env -i PATH="$PATH" HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" "${env_args[@]}" \
    "$prog" "$@" >"$dir/stdout" 2>"$dir/stderr"
  status=$?
  out=$(cat "$dir/stdout")
  err=$(cat "$dir/stderr")
  [ "$status" -eq "$expected" ] || fail "$name: status $status, expected $expected; stderr: $err"
  left=$(find "$dir/home" "$dir/runtime" -mindepth 1)
  [ -z "$left" ] || fail "$name: left files behind: $left"
}

run help 0 -- --help
[[ "$out" == "Usage: sorvane"* ]] || fail "help: stdout does not start with the usage: $out"
[[ "$out" == *"--version"* ]] || fail "help: the usage does not list --version"
for option in --bend-range --glide --velocity; do
  [[ "$out" == *"$option"* ]] || fail "help: the usage does not list $option"
done
[ -z "$err" ] || fail "help: stderr: $err"

run version 0 -- --version
[ "$out" = "sorvane $version" ] || fail "version: stdout is '$out', expected 'sorvane $version'"
[ -z "$err" ] || fail "version: stderr: $err"

# A bad --latency value ends the program before anything else, display or not.
run bad-latency 2 -- -display :0 --latency fast
[[ "$err" == 'sorvane: --latency takes normal or low, not "fast"'* ]] || fail "bad-latency: stderr: $err"
[[ "$err" == *"Usage: sorvane"* ]] || fail "bad-latency: no usage on stderr"
[ -z "$out" ] || fail "bad-latency: stdout: $out"

# An unknown option or a bad value: a message naming it, the usage, status
# 2, before any display is looked for.
bad_option() {
  local name=$1 message=$2
  shift 2
  run "$name" 2 -- "$@"
  [[ "$err" == "sorvane: $message"* ]] || fail "$name: stderr: $err"
  [[ "$err" == *"Usage: sorvane"* ]] || fail "$name: no usage on stderr"
  [ -z "$out" ] || fail "$name: stdout: $out"
}
bad_option bogus 'Unknown option' --bogus
bad_option missing-value 'Missing value' --output-level
bad_option loud '--output-level takes whole decibels from -24 to 6, not "7"' --output-level 7
bad_option wide-bend '--bend-range takes whole semitones from 1 to 12, not "0"' --bend-range 0
bad_option long-glide '--glide takes whole milliseconds from 0 to 1000, not "1001"' --glide 1001
bad_option channel '--midi-channel takes all or a channel from 1 to 16, not "0"' --midi-channel 0
bad_option system '--sound-system takes auto, pulse or jack, not "alsa"' --sound-system alsa
bad_option stray 'unexpected argument "song.wav"' song.wav
# Qt's own options pass, with or without their value attached.
bad_option qt-options-pass '--latency takes normal or low' -platform offscreen -style=fusion -reverse --latency x

# --list-devices needs no display; with no server it says so for each and
# leaves nothing behind (no cookie, no runtime folder).
run list-no-server 0 PULSE_SERVER=unix:"$work/no-such-socket" JACK_DEFAULT_SERVER=sorvane-none -- --list-devices
[[ "$out" == *"PulseAudio: not reachable"* && "$out" == *"JACK: not reachable"* ]] ||
  fail "list-no-server: stdout: $out"

# --help wins over a display that cannot be opened.
run help-bad-display 0 DISPLAY="$free_display" -- --help
[[ "$out" == "Usage: sorvane"* ]] || fail "help-bad-display: no usage"

check_no_display() {
  local name=$1
  [ -z "$out" ] || fail "$name: stdout: $out"
  [ "$(wc -l <"$work/$name/stderr")" -eq 1 ] || fail "$name: stderr is not one line: $err"
  [[ "$err" == "sorvane: cannot open a window: "* ]] || fail "$name: stderr: $err"
}

run no-display 1 --
check_no_display no-display
[[ "$err" == *"DISPLAY is not set"* ]] || fail "no-display: the line does not say why: $err"

if [ -n "$free_display" ]; then
  run dead-display 1 DISPLAY="$free_display" --
  check_no_display dead-display
  [[ "$err" == *"\"$free_display\""* ]] || fail "dead-display: the line does not name the display: $err"
fi

run xcb-without-display 1 QT_QPA_PLATFORM=xcb --
check_no_display xcb-without-display

run wayland-without-compositor 1 QT_QPA_PLATFORM=wayland --
check_no_display wayland-without-compositor

# A platform Qt has no plugin for: one line and status 1, not Qt's abort.
run bogus-platform 1 -- -platform bogus
check_no_display bogus-platform
[[ "$err" == *'no platform plugin "bogus"'* ]] || fail "bogus-platform: the line does not name the platform: $err"
run bogus-platform-variable 1 QT_QPA_PLATFORM=bogus --
check_no_display bogus-platform-variable

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all command-line checks passed"
