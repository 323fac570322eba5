#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Termination signals whatever box is open, on a real X server of its own
# with the sound on a private PulseAudio server: SIGTERM and SIGHUP while the
# start-up box says there is no sound end the program without its window
# ever showing; SIGTERM while a refused phrase file's box is open ends the
# program with its take completed, and a second start meanwhile never brings
# the closed window back (it opens its own once the first has gone, and
# SIGTERM while its Load dialog is open ends it too, the take completed).
#   x11_signals.sh PATH_TO_SORVANE WORK_DIR
set -uo pipefail
prog=$1
work=$2
second_pid=""
silent_pid=""
script_cleanup() {
  [ -n "$second_pid" ] && kill -KILL "$second_pid" 2>/dev/null
  [ -n "$silent_pid" ] && kill "$silent_pid" 2>/dev/null
}
source "$(dirname "$0")/x11_session.sh"

# Bounds for a busy machine: what is judged is that the program ends, not
# how fast.
patience=20

polls() { seq $((patience * 10)); }
window_of() { xdotool search --all --onlyvisible --pid "$1" --name '^Sorvane$' 2>/dev/null | head -n1; }
# Polls until process $1 has ended (or patience runs out); prints 1 when a
# window of it other than $2 was visible meanwhile.
window_while_alive() {
  local pid=$1 except=${2:-} w shown=""
  for _ in $(polls); do
    w=$(window_of "$pid")
    [ -n "$w" ] && [ "$w" != "$except" ] && shown=1
    kill -0 "$pid" 2>/dev/null || break
    [ "$(awk '/^State:/{print $2}' /proc/$pid/status 2>/dev/null)" = Z ] && break
    sleep 0.1
  done
  echo "$shown"
}

# ---- a signal during the start-up box ----
# No sound server answers: the box comes while the window is being made.
for signal in TERM HUP; do
  PULSE_SERVER="unix:$work/no-server" "$prog" >>"$work/app.log" 2>&1 &
  app_pid=$!
  box=$(find_box error_box $((patience * 10)))
  if [ -z "$box" ]; then
    fail "SIG$signal at start-up: no start-up box without a sound server"
    kill -KILL "$app_pid"; wait "$app_pid" 2>/dev/null; app_pid=""
    continue
  fi
  [ -z "$(window_of "$app_pid")" ] || fail "SIG$signal at start-up: the window showed before the box was answered"
  kill -"$signal" "$app_pid"
  shown=$(window_while_alive "$app_pid")
  [ -z "$shown" ] || fail "SIG$signal at start-up: the window showed after the signal"
  if wait_for_end 1; then
    [ "$end_rc" = 0 ] || fail "SIG$signal at start-up: the program ended with $end_rc"
    echo "SIG$signal during the start-up box ended the program"
  else
    import -window root "$work/startup-$signal.png"
    fail "SIG$signal during the start-up box did not end the program within $patience s (see startup-$signal.png)"
    kill -KILL "$app_pid"; wait "$app_pid" 2>/dev/null; app_pid=""
  fi
done

# ---- a sound server that accepts the connection and never answers ----
# The wait for it is bounded: the box comes, far sooner than the 10 s two
# waits of 5 s took (8 s leaves a busy machine room); and SIGTERM during
# the wait ends it at once, which the device line on stderr tells.
silent_socket="$pulse_dir/silent"
/usr/bin/python3 - "$silent_socket" "$work/silent-accepts" <<'PY' &
import socket, sys
server = socket.socket(socket.AF_UNIX)
server.bind(sys.argv[1])
server.listen(8)
held = []
while True:
    connection, _ = server.accept()
    held.append(connection)  # kept open, never answered
    with open(sys.argv[2], "a") as log:
        log.write("accepted\n")
PY
silent_pid=$!
for _ in $(polls); do [ -S "$silent_socket" ] && break; sleep 0.1; done
accepts() { cat "$work/silent-accepts" 2>/dev/null | wc -l; }
if [ ! -S "$silent_socket" ]; then
  fail "the silent server did not start"
else
  started=$(date +%s%N)
  PULSE_SERVER="unix:$silent_socket" "$prog" >>"$work/silent.log" 2>&1 &
  app_pid=$!
  box=$(find_box error_box $((patience * 10)))
  waited_ms=$(( ($(date +%s%N) - started) / 1000000 ))
  if [ -z "$box" ]; then
    fail "silent server: no box within $patience s"
  else
    echo "silent server: the box came after $waited_ms ms"
    [ "$waited_ms" -lt 8000 ] || fail "silent server: the box came only after $waited_ms ms"
  fi
  kill -TERM "$app_pid"
  wait_for_end "$patience" || { fail "silent server: SIGTERM with the box open did not end the program"; kill -KILL "$app_pid"; wait "$app_pid" 2>/dev/null; app_pid=""; }

  before=$(accepts)
  : >"$work/silent.log"
  PULSE_SERVER="unix:$silent_socket" "$prog" >>"$work/silent.log" 2>&1 &
  app_pid=$!
  for _ in $(polls); do [ "$(accepts)" -gt "$before" ] && break; sleep 0.05; done
  kill -TERM "$app_pid"
  shown=$(window_while_alive "$app_pid")
  [ -z "$shown" ] || fail "silent server: the window showed after SIGTERM during the wait"
  if wait_for_end 1; then
    [ "$end_rc" = 0 ] || fail "silent server: the program ended with $end_rc after SIGTERM during the wait"
    grep -q "the program is ending" "$work/silent.log" ||
      fail "silent server: SIGTERM did not end the wait for the server: $(cat "$work/silent.log")"
  else
    fail "silent server: SIGTERM during the wait did not end the program within $patience s"
    kill -KILL "$app_pid"; wait "$app_pid" 2>/dev/null; app_pid=""
  fi
fi
kill "$silent_pid" 2>/dev/null
wait "$silent_pid" 2>/dev/null
silent_pid=""

# ---- SIGTERM while a box is open, with a take running ----
start_program || exit 1
first_window=$main
take=$(start_take) || fail "no take file after a click on the record button"
printf 'this is no WAV file\n' >"$work/refused.wav"
# Phrase mode on, then Load; the dialog's window goes to dialog.
open_load_dialog() {
  xdotool windowfocus --sync "$main"
  xdotool mousemove --window "$main" 126 176 click 1
  sleep 0.3
  xdotool mousemove --window "$main" 228 180 click 1
  dialog=""
  for _ in $(polls); do
    dialog=$(xdotool search --onlyvisible --name '^(Load Wave File|Waveファイルの読み込み)$' 2>/dev/null | head -n1)
    [ -n "$dialog" ] && break
    sleep 0.1
  done
}
# The refused file typed into the dialog.
open_load_dialog
box=""
if [ -z "$dialog" ]; then
  fail "no Load dialog after phrase mode on and a click on Load"
else
  xdotool windowfocus --sync "$dialog"
  sleep 0.3
  xdotool type --delay 10 "$work/refused.wav"
  xdotool key Return
  box=$(find_box wave_error_box $((patience * 10)))
  [ -n "$box" ] || fail "no error box for the refused phrase file"
fi
import -window root "$work/box-open.png"

if [ -n "$box" ] && [ -n "$take" ]; then
  sleep 1
  kill -TERM "$app_pid"
  # A second start at once: while the first closes, its window must not come
  # back; the second either waits and opens its own, or leaves it to the first.
  "$prog" >>"$work/app.log" 2>&1 &
  second_pid=$!
  # A closed window that is shown again is a new X window of the first's.
  shown_again=$(window_while_alive "$app_pid" "$first_window")
  [ -z "$shown_again" ] || fail "a second start brought the closed window back"
  if wait_for_end 1; then
    [ "$end_rc" = 0 ] || fail "the program ended with $end_rc after SIGTERM with a box open"
    expect_whole_take "$music/$take" "take ended by SIGTERM with a box open" 0
  else
    import -window root "$work/after-sigterm.png"
    fail "SIGTERM with a box open did not end the program within $patience s (see after-sigterm.png)"
    kill -KILL "$app_pid"; wait "$app_pid" 2>/dev/null; app_pid=""
  fi
  # The second start: its own window once the first has gone (or, had it
  # asked before the first took the signal, it ended leaving the first to
  # come forward).
  second_window=""
  for _ in $(polls); do
    second_window=$(window_of "$second_pid")
    [ -n "$second_window" ] && break
    kill -0 "$second_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -n "$second_window" ]; then
    echo "the second start opened its own window after the first had ended"
    app_pid=$second_pid
    second_pid=""
    main=$second_window
    expect_sound_running "second start"
    # SIGTERM while the Load dialog itself is open, with a take running.
    take=$(start_take) || fail "second start: no take file after a click on the record button"
    open_load_dialog
    [ -n "$dialog" ] || fail "second start: no Load dialog"
    sleep 1
    kill -TERM "$app_pid"
    if wait_for_end "$patience"; then
      [ "$end_rc" = 0 ] || fail "the program ended with $end_rc after SIGTERM with the Load dialog open"
      [ -z "$take" ] || expect_whole_take "$music/$take" "take ended by SIGTERM with the Load dialog open" 0
    else
      fail "SIGTERM with the Load dialog open did not end the program within $patience s"
    fi
  elif kill -0 "$second_pid" 2>/dev/null; then
    fail "the second start neither opened a window nor ended within $patience s"
  else
    wait "$second_pid"
    rc=$?
    second_pid=""
    [ "$rc" = 0 ] || fail "the second start ended with $rc"
    echo "the second start asked the first before it closed, and ended"
  fi
fi

if [ "$failures" -gt 0 ]; then
  echo "--- program output"; cat "$work/app.log"
  exit 1
fi
echo "all checks passed; screenshots in $work"
