#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The program on a real X server of its own, with its sound running on a
# private PulseAudio server: the window's size, keys that light up while held
# from the PC keyboard and the mouse, the stuck-key watchdog releasing a key
# whose key-up went to another window (and keeping keys that are still held),
# a second start that brings the first window forward and ends, a restart
# after a crash, takes in the user's music folder that survive the program's
# end (SIGTERM, SIGKILL, a file size limit) and never replace one another,
# the Exit button, and settings kept for the next start.
#   x11_end_to_end.sh PATH_TO_SORVANE WORK_DIR
set -uo pipefail
prog=$1
work=$2
extra_tools="xlogo xwininfo"
cover_pid=""
other_pid=""
script_cleanup() {
  for pid in $cover_pid $other_pid; do
    kill "$pid" 2>/dev/null
  done
}
source "$(dirname "$0")/x11_session.sh"

start_program || exit 1

read -r w h < <(xwininfo -id "$main" | awk '/Width:/{w=$2} /Height:/{h=$2} END{print w, h}')
[ "$w" = 375 ] && [ "$h" = 369 ] || fail "window is ${w}x${h}, expected 375x369"

# PC keys: Z (lower row) and Q (upper row) held together.
xdotool windowfocus --sync "$main"
xdotool keydown z keydown q
expect_pixel_soon 20 270 "255,0,0" "$work/keys-held.png" "Q held"
expect_pixel "$work/keys-held.png" 20 345 "255,0,0" "Z held"
expect_pixel "$work/keys-held.png" 50 345 "255,255,255" "X not held"
xdotool keyup z keyup q
expect_pixel_soon 20 270 "255,255,255" "$work/keys-released.png" "Q released"
expect_pixel "$work/keys-released.png" 20 345 "255,255,255" "Z released"
expect_pixel "$work/keys-released.png" 360 300 "160,160,164" "window background"

# The stuck-key watchdog (once a second while the sound runs). Z and W are
# held with the program focused: they stay lit, since both are physically
# down, past more than one watchdog run. (Not Q: xlogo below quits on a q,
# and the server's auto-repeat sends it one.)
xdotool windowfocus --sync "$main"
xdotool keydown z keydown w
sleep 1.8
import -window "$main" "$work/watchdog-focused.png"
expect_pixel "$work/watchdog-focused.png" 20 345 "255,0,0" "Z held 1.8 s with the program focused"
expect_pixel "$work/watchdog-focused.png" 50 270 "255,0,0" "W held 1.8 s with the program focused"

# Another X client takes the keyboard focus; Z is let go there, so the
# program never sees its key-up, while W stays down.
xlogo -geometry 120x120+600+420 >/dev/null 2>&1 &
other_pid=$!
other=""
for _ in $(seq 50); do
  other=$(xdotool search --onlyvisible --class '^xlogo$' 2>/dev/null | head -n1)
  [ -n "$other" ] && break
  sleep 0.1
done
if [ -z "$other" ]; then
  fail "no xlogo window to take the focus"
else
  xdotool windowfocus --sync "$other"
  [ "$(xdotool getwindowfocus)" = "$other" ] || fail "the focus did not move to the other window"
  xdotool keyup z
  t0=$(date +%s%N)
  if ms=$(wait_for_pixel 20 345 "255,255,255" "$t0" 4000 "$work/watchdog-z-released.png"); then
    echo "Z released by the watchdog ${ms} ms after its key-up went to another window"
    # The run that released Z found W still physically down.
    expect_pixel "$work/watchdog-z-released.png" 50 270 "255,0,0" "W still down when Z was released"
  else
    fail "Z not released within 4 s after its key-up went to another window"
  fi
  # W stays lit through further runs while it is held and the focus is elsewhere.
  sleep 1.3
  import -window "$main" "$work/watchdog-w-held.png"
  expect_pixel "$work/watchdog-w-held.png" 50 270 "255,0,0" "W held 1.3 s longer with the focus elsewhere"
  expect_pixel "$work/watchdog-w-held.png" 20 345 "255,255,255" "Z stays released"
  xdotool keyup w
  t0=$(date +%s%N)
  if ms=$(wait_for_pixel 50 270 "255,255,255" "$t0" 4000 "$work/watchdog-w-released.png"); then
    echo "W released by the watchdog ${ms} ms after its key-up went to another window"
  else
    fail "W not released within 4 s after its key-up went to another window"
  fi
  # Had the focus fallen back, the key-ups could have reached the program.
  [ "$(xdotool getwindowfocus)" = "$other" ] || fail "the other window lost the focus during the key-ups"
fi
kill "$other_pid" 2>/dev/null
wait "$other_pid" 2>/dev/null
other_pid=""
[ -z "$(error_box)" ] || fail "an error box appeared while keys were played"
expect_sound_running "after the watchdog checks"

# Mouse: the left button on the black key 4, then the right button on T.
# Key 4 is held past more than one watchdog run: its PC key is up, but the
# key is shown pressed, so the watchdog keeps it.
xdotool windowfocus --sync "$main"
xdotool mousemove --window "$main" 105 230 mousedown 1
expect_pixel_soon 105 220 "255,0,0" "$work/mouse-left.png" "key 4 under the left button"
sleep 1.8
import -window "$main" "$work/mouse-left-long.png"
expect_pixel "$work/mouse-left-long.png" 105 220 "255,0,0" "key 4 under the left button past two watchdog runs"
xdotool mouseup 1
sleep 0.3
# The right button plays a key too, but does not show it pressed: the
# watchdog (running, since the clicked key 4 has the focus) takes it back
# within about a second while the button is still held. Seeing it lit may
# thus race a watchdog run; a try that does not see it lit within 0.3 s is
# repeated (a run comes once a second).
right_lit=""
for _ in 1 2 3; do
  xdotool mousemove --window "$main" 155 275 mousedown 3
  t0=$(date +%s%N)
  if wait_for_pixel 155 270 "255,0,0" "$t0" 300 "$work/mouse-right.png" >/dev/null; then
    right_lit=1
    break
  fi
  xdotool mouseup 3
  sleep 0.3
done
if [ -z "$right_lit" ]; then
  fail "key T under the right button: not lit in three tries"
else
  expect_pixel "$work/mouse-right.png" 105 220 "0,0,0" "key 4 released"
  if ms=$(wait_for_pixel 155 270 "255,255,255" "$t0" 4000 "$work/mouse-right-watchdog.png"); then
    echo "T under the right button released by the watchdog after ${ms} ms"
  else
    fail "key T under the right button not released by the watchdog within 4 s"
  fi
  xdotool mouseup 3
fi
expect_pixel_soon 155 270 "255,255,255" "$work/mouse-released.png" "key T released"

# A second start: the first window comes forward over a window that
# covered it, and the second process ends at once without a window.
if command -v xlogo >/dev/null; then
  xlogo -geometry 700x550+0+0 >/dev/null 2>&1 &
  cover_pid=$!
  sleep 0.8
  import -window root "$work/covered.png"
  [ "$(pixel "$work/covered.png" 553 409)" != "160,160,164" ] || fail "the cover window does not cover"
fi
start=$(date +%s%N)
"$prog" --output-level -6 >"$work/second.out" 2>&1
rc=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$rc" = 0 ] || fail "second start ended with $rc"
# At once idle; 10 s leaves a loaded machine room and still tells an end
# from a second program that stayed.
[ "$elapsed_ms" -lt 10000 ] || fail "second start took ${elapsed_ms} ms"
# Its options reach nothing, and it says so.
grep -q "options given here were not applied" "$work/second.out" ||
  fail "the second start with an option did not say it was not applied: $(cat "$work/second.out")"
sleep 0.5
count=$(xdotool search --onlyvisible --name '^Sorvane$' | wc -l)
[ "$count" = 1 ] || fail "$count windows after the second start"
if [ -n "$cover_pid" ]; then
  import -window root "$work/raised.png"
  expect_pixel "$work/raised.png" 553 409 "160,160,164" "first window brought forward"
  kill "$cover_pid" 2>/dev/null
  wait "$cover_pid" 2>/dev/null
  cover_pid=""
fi

# A crash leaves no lock behind.
kill -9 "$app_pid"
wait "$app_pid" 2>/dev/null
app_pid=""
start_program || exit 1

# ---- takes ----
# SIGTERM (a plain kill, the session's end) is a close request: the take
# is completed, sizes and all, and the program ends normally.
if take=$(start_take); then
  sleep 2
  kill -TERM "$app_pid"
  if wait_for_end; then
    [ "$end_rc" = 0 ] || fail "the program ended with $end_rc after SIGTERM"
    expect_whole_take "$music/$take" "take $take ended by SIGTERM after 2 s" 0
  else
    fail "SIGTERM did not end the program"
    kill -KILL "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_pid=""
  fi
else
  fail "no take file in the music folder after a click on the record button"
fi
[ -d "$music" ] || fail "the music folder was not made"

# SIGKILL (or a crash, or a power cut): the take is a valid WAV file that
# lacks at most its last second.
start_program || exit 1
if take=$(start_take); then
  sleep 4
  kill -KILL "$app_pid"
  wait "$app_pid" 2>/dev/null
  app_pid=""
  if info=$(take_info "$music/$take"); then
    read -r frames data size <<<"$info"
    missing=$((size - 46 - data))
    echo "take killed by SIGKILL after 4 s: $frames frames ($((frames * 1000 / 22050)) ms) readable, $missing bytes ($((missing * 1000 / 44100)) ms) written after the last size update"
    # How much sound the program makes in 4 s depends on the machine's load;
    # what it keeps readable of it does not.
    [ "$missing" -le 44100 ] || fail "SIGKILL take: $missing bytes beyond its chunks, more than a second"
    [ "$frames" -gt 0 ] || fail "SIGKILL take: no frames readable after 4 s of recording"
  else
    fail "the take killed by SIGKILL is no valid WAV file"
  fi
else
  fail "no take file for the SIGKILL check"
fi

# Two takes within one second are two files. The clicks start just after a
# second begins, so that both takes normally share their second.
start_program || exit 1
before=$(takes | wc -l)
xdotool windowfocus --sync "$main"
xdotool mousemove --window "$main" 340 108
while [ "$(date +%N | cut -c1)" != 0 ]; do sleep 0.02; done
xdotool click 1 sleep 0.15 click 1 sleep 0.15 click 1 sleep 0.3 click 1
sleep 0.5
count=$(( $(takes | wc -l) - before ))
echo "two quick takes: $(takes | tail -n "$count" | tr '\n' ' ')"
[ "$count" = 2 ] || fail "two quick takes made $count new files"
for name in $(ls -t "$music" | grep '\.wav$' | head -n 2); do
  take_info "$music/$name" >/dev/null || fail "quick take $name is no valid WAV file"
done

# A file size limit (ulimit -f) ends the take with the write error box, as a
# full disk does; the program lives on and the take is a valid file.
kill -TERM "$app_pid"
wait_for_end || fail "SIGTERM did not end the program before the size limit check"
start_program 100 || exit 1
if take=$(start_take); then
  box=$(find_box wave_error_box 80)
  if [ -z "$box" ]; then
    fail "no write error box when the take outgrew the file size limit"
  else
    kill -0 "$app_pid" 2>/dev/null || fail "the file size limit ended the program"
    xdotool windowfocus --sync "$box" key Return
    sleep 0.3
    import -window root "$work/after-size-limit.png"
    # One box and no other: the blocks handled while it was open found the
    # failed block finished.
    [ -z "$(wave_error_box)" ] && [ -z "$(error_box)" ] ||
      fail "another error box after the size limit's (see after-size-limit.png)"
  fi
  if info=$(take_info "$music/$take"); then
    read -r frames data size <<<"$info"
    echo "take at the file size limit of 102400 bytes: $frames frames ($((frames * 1000 / 22050)) ms), file $size bytes"
    [ "$size" = $((46 + data)) ] && [ "$size" -le 102400 ] ||
      fail "size-limited take: file $size bytes, chunks $((46 + data)) bytes"
  else
    fail "the size-limited take is no valid WAV file"
  fi
else
  fail "no take file for the file size limit check"
fi

# Exit closes the window and ends the program.
exit_program() {  # what
  xdotool mousemove --window "$main" 340 156 click 1
  for _ in $(seq 50); do
    kill -0 "$app_pid" 2>/dev/null || break
    [ "$(awk '/^State:/{print $2}' /proc/$app_pid/status 2>/dev/null)" = Z ] && break
    sleep 0.1
  done
  if kill -0 "$app_pid" 2>/dev/null && [ "$(awk '/^State:/{print $2}' /proc/$app_pid/status 2>/dev/null)" != Z ]; then
    fail "$1: Exit did not end the program"
  else
    wait "$app_pid"
    rc=$?
    [ "$rc" = 0 ] || fail "$1: program ended with $rc"
    app_pid=""
  fi
}

# The left of the panel (octave and waveform groups) as shown now.
panel_shot() {  # file
  import -window "$main" "$work/window.png"
  convert "$work/window.png" -crop 110x180+0+0 +repage "$1"
}

# Settings are kept: the octave set to Low and the waveform to Square,
# Exit, and the next start shows them again.
settings="$work/config/sorvane/sorvane.conf"
[ ! -e "$settings" ] || fail "a settings file was written though no setting changed"
panel_shot "$work/panel-first.png"
xdotool windowfocus --sync "$main"
xdotool mousemove --window "$main" 30 60 click 1 sleep 0.2 mousemove --window "$main" 30 163 click 1
sleep 0.3
panel_shot "$work/panel-changed.png"
exit_program "settings"
grep -qx 'octave=1' "$settings" && grep -qx 'waveform=2' "$settings" ||
  fail "the settings file does not hold octave Low and waveform Square: $(cat "$settings" 2>/dev/null)"
if start_program; then
  sleep 0.3
  panel_shot "$work/panel-restored.png"
  [ "$(compare -metric AE "$work/panel-changed.png" "$work/panel-restored.png" null: 2>&1)" = 0 ] ||
    fail "the panel after the restart differs from the panel set before Exit (see panel-restored.png)"
  [ "$(compare -metric AE "$work/panel-first.png" "$work/panel-changed.png" null: 2>&1)" != 0 ] ||
    fail "the clicks did not change the panel (see panel-changed.png)"
  exit_program "after the restart"
fi
# --no-restore: the start-up panel, and a change is not saved.
cp "$settings" "$work/settings-kept.conf"
program_args=--no-restore
if start_program; then
  sleep 0.3
  panel_shot "$work/panel-no-restore.png"
  [ "$(compare -metric AE "$work/panel-first.png" "$work/panel-no-restore.png" null: 2>&1)" = 0 ] ||
    fail "--no-restore did not start with the start-up panel (see panel-no-restore.png)"
  xdotool windowfocus --sync "$main"
  xdotool mousemove --window "$main" 30 45 click 1
  sleep 1
  exit_program "--no-restore"
  cmp -s "$settings" "$work/settings-kept.conf" || fail "--no-restore changed the settings file"
fi
program_args=""

if [ "$failures" -gt 0 ]; then
  echo "--- program output"; cat "$work/app.log"
  exit 1
fi
echo "all checks passed; screenshots in $work"
