# SPDX-License-Identifier: GPL-3.0-or-later
# The program on an X server of its own with its sound on a private
# PulseAudio server: sourced by the end-to-end scripts beside it, after they
# have set prog (the program) and work (a folder made fresh here), and
# extra_tools (more commands they need). It starts Xvfb and the sound server,
# stops both at the script's end (after the script's own script_cleanup, if
# it defines one), and gives the helpers below: fail, pixel checks on the
# main window, start_program, and the take helpers (take_info, expect_whole_take, start_take,
# wait_for_end).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
pulse_script="$here/../live/pulse-server.sh"
rm -rf "$work"
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"

for tool in pactl xdotool import convert ${extra_tools:-}; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/setup.sh installs it)"; exit 1; }
done

# The server's socket paths must fit a Unix socket address (108 bytes): its
# folder is a short one in the temporary folder, whatever the work folder.
pulse_tmp=${TMPDIR:-/tmp}
if [ ${#pulse_tmp} -gt 40 ] || [ ! -d "$pulse_tmp" ]; then pulse_tmp=/tmp; fi
pulse_dir=$(mktemp -d "${pulse_tmp%/}/sorvane-x11-XXXXXX")

xvfb_pid=""
app_pid=""
pulse_started=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  declare -F script_cleanup >/dev/null && script_cleanup
  # The server runs detached from this shell: it is stopped by its pid file.
  [ -n "$pulse_started" ] && bash "$pulse_script" stop "$pulse_dir"
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  case "$pulse_dir" in */sorvane-x11-*) rm -rf "$pulse_dir" ;; esac
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# An X server of our own on a free display. -noreset: by default the server
# resets whenever its last client leaves, which here is every xdotool call,
# and a program connecting during such a reset is dropped ("could not
# connect to display"), most often under load.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
export XDG_RUNTIME_DIR="$work/runtime"
export QT_QPA_PLATFORM=xcb
unset SESSION_MANAGER

# Sound: the program opens the default devices, which are the private
# server's null sinks. Without a reachable server it would run silent, and
# its key watchdog, which starts with the sound, would never run.
pulse_started=1
if ! pulse_env=$(bash "$pulse_script" start "$pulse_dir"); then
  echo "the PulseAudio server did not start"
  exit 1
fi
# Its environment steers libpulse (PULSE_SERVER); the program speaks the
# PulseAudio protocol to it. A user's own device and server choices stay out.
eval "$pulse_env"
[ -n "${PULSE_SERVER:-}" ] || { echo "no PULSE_SERVER from the server's start"; exit 1; }
unset PULSE_SINK PULSE_SOURCE
export SORVANE_SOUND=pulse

# The program's own configuration folder, whose user-dirs.dirs names a music
# folder that does not exist yet: the first take makes it.
music="$work/music"
mkdir -p "$work/config"
echo "XDG_MUSIC_DIR=\"$music\"" >"$work/config/user-dirs.dirs"
export XDG_CONFIG_HOME="$work/config"

# R,G,B of a pixel of an image.
pixel() {
  convert "$1" -format "%[fx:round(255*p{$2,$3}.r)],%[fx:round(255*p{$2,$3}.g)],%[fx:round(255*p{$2,$3}.b)]" info:
}

expect_pixel() {  # image x y expected what
  local got
  got=$(pixel "$1" "$2" "$3")
  [ "$got" = "$4" ] || fail "$5: pixel ($2,$3) is $got, expected $4"
}

visible_main() { xdotool search --onlyvisible --name '^Sorvane$' 2>/dev/null | head -n1; }
error_box() { xdotool search --onlyvisible --name '^Sorvane (ERROR!|エラー)$' 2>/dev/null | head -n1; }
wave_error_box() { xdotool search --onlyvisible --name '^エラー$' 2>/dev/null | head -n1; }

# The program's streams on the private server: capture and playback.
expect_sound_running() {  # what
  local inputs outputs
  inputs=$(timeout 5 pactl list short source-outputs 2>/dev/null | wc -l)
  outputs=$(timeout 5 pactl list short sink-inputs 2>/dev/null | wc -l)
  [ "$inputs" -ge 1 ] && [ "$outputs" -ge 1 ] ||
    fail "$1: $inputs capture and $outputs playback streams on the sound server"
}

# Starts the program and waits for its window. The sound devices must open:
# an error box is a failure (it is dismissed with Enter so the run goes on).
# With an argument, the program runs under that file size limit (KiB);
# program_args, when set, are its options.
start_program() {
  if [ -n "${1:-}" ]; then
    (ulimit -f "$1" && exec "$prog" ${program_args:-}) >>"$work/app.log" 2>&1 &
  else
    "$prog" ${program_args:-} >>"$work/app.log" 2>&1 &
  fi
  app_pid=$!
  main=""
  for _ in $(seq 150); do
    box=$(error_box)
    if [ -n "$box" ]; then
      fail "an error box appeared at start-up"
      xdotool windowfocus --sync "$box" key Return
    fi
    main=$(visible_main)
    [ -n "$main" ] && [ -z "$box" ] && break
    sleep 0.1
  done
  [ -n "$main" ] || { fail "no main window"; return 1; }
  sleep 0.3
  [ -z "$(error_box)" ] || fail "an error box appeared after start-up"
  expect_sound_running "after start-up"
}

# Screenshots of the main window until the pixel has the colour or the
# deadline (ms after t0, in ns) passes; prints the ms it took, or nothing.
wait_for_pixel() {  # x y colour t0 deadline_ms shot
  local now
  while :; do
    now=$(date +%s%N)
    import -window "$main" "$6"
    if [ "$(pixel "$6" "$1" "$2")" = "$3" ]; then
      echo $(( (now - $4) / 1000000 ))
      return 0
    fi
    [ $(( (now - $4) / 1000000 )) -lt "$5" ] || return 1
    sleep 0.1
  done
}

# A change that the program shows as soon as it has handled the input: waited
# for, not slept for, so that a busy machine does not fail the check (within
# a few hundred ms idle; 4 s allowed).
expect_pixel_soon() {  # x y colour shot what
  wait_for_pixel "$1" "$2" "$3" "$(date +%s%N)" 4000 "$4" >/dev/null ||
    fail "$5: pixel ($1,$2) is $(pixel "$4" "$1" "$2"), expected $3"
}

# ---- takes ----
# What Python's wave module makes of a take: "frames data_bytes file_bytes";
# it fails unless the file is a mono 22050 Hz 16-bit WAV file whose data
# chunk holds all the frames its size announces.
take_info() {
  /usr/bin/python3 - "$1" <<'PY'
import os, sys, wave
with wave.open(sys.argv[1], 'rb') as w:
    p = w.getparams()
    data = w.readframes(p.nframes)
assert (p.nchannels, p.sampwidth, p.framerate) == (1, 2, 22050), p
assert len(data) == 2 * p.nframes, "the data chunk is shorter than its size"
print(p.nframes, len(data), os.path.getsize(sys.argv[1]))
PY
}
# Looks for a box with FINDER (error_box, wave_error_box) every 0.1 s, up
# to TRIES times; prints its window, or nothing.
find_box() {  # finder tries
  local box=""
  for _ in $(seq "$2"); do
    box=$("$1")
    [ -n "$box" ] && break
    sleep 0.1
  done
  printf '%s' "$box"
}

# A take ended by a close request is whole: a WAV file whose size is what
# its chunks say, of more than MIN frames. Says what it holds, under WHAT.
expect_whole_take() {  # file what min
  local info frames data size
  if ! info=$(take_info "$1"); then
    fail "$2: no valid WAV file"
    return
  fi
  read -r frames data size <<<"$info"
  echo "$2: $frames frames ($((frames * 1000 / 22050)) ms), $data data bytes, file $size bytes"
  [ "$size" = $((46 + data)) ] || fail "$2: $size bytes in the file, but its chunks hold $((46 + data))"
  [ "$frames" -gt "$3" ] || fail "$2: $frames frames, not more than $3"
}
takes() { ls "$music" 2>/dev/null | grep '\.wav$' | sort; }
click_record() { xdotool mousemove --window "$main" 340 108 click 1; }
# Waits up to 10 s (or the seconds given) for the program to end; its exit
# status goes to end_rc.
wait_for_end() {
  end_rc=
  for _ in $(seq $(( ${1:-10} * 10 ))); do
    kill -0 "$app_pid" 2>/dev/null || break
    [ "$(awk '/^State:/{print $2}' /proc/$app_pid/status 2>/dev/null)" = Z ] && break
    sleep 0.1
  done
  if kill -0 "$app_pid" 2>/dev/null && [ "$(awk '/^State:/{print $2}' /proc/$app_pid/status 2>/dev/null)" != Z ]; then
    return 1
  fi
  wait "$app_pid"
  end_rc=$?
  app_pid=""
}
# Starts a take and waits for its file; prints the file's name.
start_take() {
  local before new
  before=$(takes | wc -l)
  xdotool windowfocus --sync "$main"
  click_record
  for _ in $(seq 50); do
    [ "$(takes | wc -l)" -gt "$before" ] && break
    sleep 0.1
  done
  new=$(ls -t "$music" 2>/dev/null | grep '\.wav$' | head -n1)
  [ "$(takes | wc -l)" -gt "$before" ] && echo "$new"
}
