#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The window outlives its sound server: with a take running and noise played
# into the input, the server is stopped and started again on the same socket.
# The program must say once that the server went away and once that it is
# back, keep the same window (caption, size), go on with the take in the same
# file once the sound is back, and end on SIGTERM with that take one valid
# WAV file holding blocks from after the restart. The time from the server's
# start to the "back" line is measured and printed.
#   x11_server_restart.sh PATH_TO_SORVANE WORK_DIR
set -uo pipefail
prog=$1
work=$2
extra_tools="paplay sox xwininfo"
restart_dir=""
player_pid=""
stop_player() {
  [ -n "$player_pid" ] && kill "$player_pid" 2>/dev/null && wait "$player_pid" 2>/dev/null
  player_pid=""
}
script_cleanup() {
  stop_player
  if [ -n "$restart_dir" ]; then
    bash "$pulse_script" stop "$restart_dir"
    case "$restart_dir" in */sorvane-xr-*) rm -rf "$restart_dir" ;; esac
  fi
}
source "$(dirname "$0")/x11_session.sh"

# Bounds for a busy machine: the program retries once a second, so a few
# seconds would do on an idle one.
patience=15

# A server of this test's own, in its own short folder: stopping it leaves the
# session's server alone. Starting it again with the same folder gives the
# same socket path.
restart_dir=$(mktemp -d "${pulse_tmp%/}/sorvane-xr-XXXXXX")
start_own_server() { bash "$pulse_script" start "$restart_dir"; }
own_env=$(start_own_server) || { echo "the test's own sound server did not start"; exit 1; }
eval "$own_env"

# Noise into the null sink whose monitor is the default source.
sox -n -r 22050 -c 1 -b 16 "$work/noise.wav" synth 120 whitenoise vol 0.3
play_noise() {
  stop_player
  paplay -d vocoder_in "$work/noise.wav" >>"$work/paplay.log" 2>&1 &
  player_pid=$!
}

size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
frames_of_size() { echo $(( ($1 - 46) / 2 )); }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Waits until the program's log has a line matching $1 (as often as $2 says);
# prints the ms when it was seen, or fails after patience.
wait_for_line() {
  for _ in $(seq $((patience * 10))); do
    [ "$(grep -c -- "$1" "$work/app.log")" -ge "$2" ] && { now_ms; return 0; }
    kill -0 "$app_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# The window as it was at start-up: same id, visible, caption and size.
expect_same_window() {  # what
  local shown name w h
  shown=$(visible_main)
  [ "$shown" = "$first_window" ] || fail "$1: the visible main window is '$shown', not the first one ($first_window)"
  name=$(xdotool getwindowname "$first_window" 2>/dev/null)
  [ "$name" = Sorvane ] || fail "$1: the window's caption is '$name'"
  read -r w h < <(xwininfo -id "$first_window" 2>/dev/null | awk '/Width:/{w=$2} /Height:/{h=$2} END{print w, h}')
  [ "$w" = 375 ] && [ "$h" = 369 ] || fail "$1: the window is ${w}x${h}, expected 375x369"
  [ -z "$(error_box)" ] || fail "$1: an error box is open"
}

# The two volume buttons' captions: the stroke of the I of "Input Vol" and of
# the p of "Output Vol", dark when the button is enabled, light grey when not.
# Waited for (2 s), as the window repaints after the line is printed.
expect_volume_buttons() {  # enabled|disabled what
  local ok in out
  for _ in $(seq 20); do
    import -window "$first_window" "$work/buttons.png"
    in=$(convert "$work/buttons.png" -format "%[fx:round(255*p{258,105}.r)]" info:)
    out=$(convert "$work/buttons.png" -format "%[fx:round(255*p{264,132}.r)]" info:)
    if [ "$1" = enabled ]; then ok=$([ "$in" -lt 100 ] && [ "$out" -lt 100 ] && echo 1); else
      ok=$([ "$in" -gt 150 ] && [ "$out" -gt 150 ] && echo 1); fi
    [ -n "$ok" ] && return 0
    sleep 0.1
  done
  fail "$2: the volume buttons are not $1 (caption shades $in and $out)"
}

gone_line='sorvane: the sound server went away; trying again every second'
back_line='sorvane: the sound server is back; the sound goes on'

play_noise
start_program || exit 1
first_window=$main
expect_volume_buttons enabled "at start-up"
take=$(start_take) || { fail "no take file after a click on the record button"; exit 1; }
sleep 2

# ---- the server goes ----
bash "$pulse_script" stop "$restart_dir"
if ! wait_for_line "$gone_line" 1 >/dev/null; then
  fail "no '$gone_line' within $patience s of the server's stop"
fi
# What the take held when the sound stopped (a block may still be on its way).
sleep 0.5
before_size=$(size_of "$music/$take")
before_frames=$(frames_of_size "$before_size")
expect_same_window "with the server away"
expect_volume_buttons disabled "with the server away"
import -window "$first_window" "$work/server-away.png"
sleep 2
kill -0 "$app_pid" 2>/dev/null || fail "the program ended while its server was away"

# ---- the server comes back on the same socket ----
start_ms=$(now_ms)
start_own_server >/dev/null || fail "the test's own server did not start again"
started_ms=$(now_ms)
play_noise
back_ms=$(wait_for_line "$back_line" 1) || fail "no '$back_line' within $patience s of the server's start"
if [ -n "$back_ms" ]; then
  echo "the sound was back $((back_ms - start_ms)) ms after the server's start began" \
       "($((back_ms - started_ms)) ms after its start script had made its sinks)"
  [ $((back_ms - start_ms)) -le $((patience * 1000)) ] || fail "the sound came back too late"
  # The take grows again: at least half a second more than before the stop.
  grown=""
  for _ in $(seq $((patience * 10))); do
    [ "$(size_of "$music/$take")" -gt $((before_size + 22050)) ] && { grown=1; break; }
    sleep 0.1
  done
  [ -n "$grown" ] || fail "the take did not grow after the sound was back ($before_size bytes before the stop, $(size_of "$music/$take") now)"
  expect_sound_running "after the server came back"
  expect_volume_buttons enabled "after the server came back"
  sleep 2
fi
expect_same_window "after the server came back"
import -window "$first_window" "$work/server-back.png"
[ "$(grep -c -- "$gone_line" "$work/app.log")" = 1 ] || fail "the 'went away' line came $(grep -c -- "$gone_line" "$work/app.log") times"
[ "$(grep -c -- "$back_line" "$work/app.log")" = 1 ] || fail "the 'back' line came $(grep -c -- "$back_line" "$work/app.log") times"
[ "$(takes | wc -l)" = 1 ] || fail "the take went on in another file: $(takes | tr '\n' ' ')"

# ---- SIGTERM ends the program with the take whole ----
kill -TERM "$app_pid"
if wait_for_end 20; then
  [ "$end_rc" = 0 ] || fail "the program ended with $end_rc after SIGTERM"
  # More than a second was recorded after the sound came back.
  expect_whole_take "$music/$take" "take after the server's restart ($before_frames frames before it went)" \
    $((before_frames + 22050))
else
  fail "SIGTERM did not end the program within 20 s"
fi

if [ "$failures" -gt 0 ]; then
  echo "--- program output"; cat "$work/app.log"
  exit 1
fi
echo "all checks passed; screenshots in $work"
