#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The program played from a MIDI keyboard, end to end: on an X server of its
# own, with its sound on a private PulseAudio server and a private JACK server
# (dummy driver) for its MIDI port, while speech plays into its capture
# device. A hardware-like JACK source (midi_sender.py) appears after the
# start; the program connects it to its port "Sorvane:MIDI In" by itself.
# Note 60 turns key 24 (E, upper row) red, and the program's output, recorded
# from the sink's monitor while the note holds, sings at that key's pitch,
# and a full pitch bend up moves it two semitones (the start-up bend range);
# the note-off turns the key white again. Then the JACK server stops under
# the running program, which plays on and ends normally at SIGTERM.
#   x11_midi_end_to_end.sh PATH_TO_SORVANE WORK_DIR
set -uo pipefail
prog=$1
work=$2
extra_tools="jackd jack_lsp paplay parecord sox"
jack_pid=""
sender_pid=""
player_pid=""
recorder_pid=""
script_cleanup() {
  for pid in $sender_pid $player_pid $recorder_pid; do
    kill "$pid" 2>/dev/null
  done
  if [ -n "$jack_pid" ]; then
    kill "$jack_pid" 2>/dev/null
    wait "$jack_pid" 2>/dev/null
  fi
}
source "$(dirname "$0")/x11_session.sh"

speech="$here/../tools/data/speech.wav"
live_dir="$here/../live"
midi="$work/midi"
mkdir -p "$midi"

# Key 24 (E) and key 16 (/), the lower row's key of the same note, which
# must stay white: where both rows have a note, the upper row's key plays.
key24="90 270"
key16="300 345"

# Waits up to $2 seconds for a file to exist.
wait_for_file() {  # path seconds
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  [ -e "$1" ]
}

# A JACK server of our own under its own name, stopped by its pid; nothing
# else on the machine is touched. The program and the MIDI source find it
# through JACK_DEFAULT_SERVER. Real-time (-R) where the machine allows it.
export JACK_DEFAULT_SERVER="sorvane-x11-midi-$$"
jackd -n "$JACK_DEFAULT_SERVER" -R -d dummy -r 22050 -p 220 >"$work/jackd.log" 2>&1 &
jack_pid=$!
jack_up=""
for _ in $(seq 200); do
  if timeout 5 jack_lsp -s "$JACK_DEFAULT_SERVER" >/dev/null 2>&1; then
    jack_up=1
    break
  fi
  kill -0 "$jack_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$jack_up" ] || { echo "jackd did not start:"; cat "$work/jackd.log"; exit 1; }
export SORVANE_MIDI=jack

start_program || exit 1
grep -q "no MIDI input" "$work/app.log" && fail "the program found no MIDI input: $(grep 'no MIDI input' "$work/app.log")"
xdotool mousemove 700 500  # the pointer off the keys

# Speech into the capture side for the whole run: the clip fifteen times over.
sox "$speech" "$work/speech-long.wav" repeat 14
paplay -d vocoder_in "$work/speech-long.wav" &
player_pid=$!

import -window "$main" "$work/midi-before.png"
expect_pixel "$work/midi-before.png" $key24 "255,255,255" "key 24 before the note"

/usr/bin/python3 "$here/midi_sender.py" "$JACK_DEFAULT_SERVER" "Sorvane:MIDI In" "$midi" \
  >"$work/sender.log" 2>&1 &
sender_pid=$!
if ! wait_for_file "$midi/connected" 40; then
  fail "the program did not connect the new MIDI source to its port"
  cat "$work/sender.log"
else
  # The note-on follows the connection at once; the key turns red when the
  # program has handled it.
  if ms=$(wait_for_pixel $key24 "255,0,0" "$(date +%s%N)" 10000 "$work/midi-note-on.png"); then
    echo "key 24 red ${ms} ms after the source was connected"
    expect_pixel "$work/midi-note-on.png" $key16 "255,255,255" "key 16 (the lower row's note 60) while note 60 holds"
  else
    fail "note 60: key 24 not red within 10 s"
  fi

  # Seven seconds of the program's output while the note holds (the 4-s
  # speech clip and more), counted in recorded samples, not in the machine's
  # time.
  record_output() {  # path
    parecord -d vocoder_out.monitor --rate=22050 --channels=1 --format=s16le --file-format=wav "$1" &
    recorder_pid=$!
    local want=$((44 + 2 * 7 * 22050))
    for _ in $(seq 300); do
      [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge "$want" ] && break
      sleep 0.1
    done
    # SIGINT lets parecord finish the WAV header.
    kill -INT "$recorder_pid"
    wait "$recorder_pid"
    recorder_pid=""
  }
  record_output "$work/midi-output.wav"
  # The wheel pushed full up while the note holds; the voice slides there
  # within a block.
  touch "$midi/bend"
  wait_for_file "$midi/bent" 10 || fail "the MIDI source did not send the bend"
  sleep 0.5
  record_output "$work/midi-bent.wav"
  import -window "$main" "$work/midi-held.png"
  expect_pixel "$work/midi-held.png" $key24 "255,0,0" "key 24 after the recording (note 60 still held)"
  [ -z "$(error_box)" ] || fail "an error box appeared while the note held"
  expect_sound_running "while the note held"

  touch "$midi/release"
  if ms=$(wait_for_pixel $key24 "255,255,255" "$(date +%s%N)" 10000 "$work/midi-note-off.png"); then
    echo "key 24 white ${ms} ms after the note-off was asked for"
  else
    fail "note-off 60: key 24 not white within 10 s"
  fi
  touch "$midi/quit"
  wait "$sender_pid" || fail "the MIDI source failed: $(cat "$work/sender.log")"
  sender_pid=""

  # The pitch: key 24 at the "Mid" octave has NoteIndex 39 and the period
  # PeriodTable[39] = 22050 / (27.5 x 2^(39/12)) = 84.2795... samples. A
  # voice's period wraps at whole samples, 84 or 85 apart, but they average
  # out to that period exactly, so the fundamental is 22050 / PeriodTable[39]
  # = 261.6256 Hz, the equal-tempered middle C that is written 261.6 Hz. A
  # period rounded to 84 or 85 samples would sing 262.50 Hz (+5.8 cents) or
  # 259.41 Hz (-14.7 cents); a neighbouring key is 100 cents away. Bent
  # full up (8191 of 8192) at a range of two semitones it sings 2 x
  # 8191 / 8192 = 1.999755859375 semitones higher, 293.66 Hz, measured the
  # same way; a bend that did nothing is 200 cents away.
  # pitch.py LIVE_DIR WAV SEMITONES_ABOVE_KEY_24 CENTS_TOLERANCE
  cat >"$work/pitch.py" <<'PY'
import math, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
from loopback_test import RATE, read_wav

period = 22050 / (27.5 * 2 ** (39 / 12))
expected = RATE / period * 2 ** (float(sys.argv[3]) / 12)
tolerance = float(sys.argv[4])
out = read_wav(sys.argv[2])
print("recorded %d samples (%.2f s) while note 60 held; peak %d" % (len(out), len(out) / RATE, np.abs(out).max()))
# Runs of exact zeros are where the program played nothing: pauses of the
# speech, and moments a busy machine starved the player or the program's
# stream (the sink then plays silence, and the voice's phase does not go on
# across the gap). The sung stretches between them are measured, each on
# its own, and their power spectra added.
z = np.concatenate([[0], (out == 0).astype(int), [0]])
edges = np.diff(z)
gaps = [(s, e) for s, e in zip(np.nonzero(edges == 1)[0], np.nonzero(edges == -1)[0]) if e - s >= 8]
stretches, at = [], 0
for s, e in gaps + [(len(out), len(out))]:
    if s - at >= RATE // 2:
        stretches.append(out[at:s])
    at = e
sung = sum(len(x) for x in stretches) / RATE
print("%d sung stretches of 0.5 s or more, %.2f s in all" % (len(stretches), sung))
if sung < 1.5:
    sys.exit("the output does not sing the speech while the note holds")
# The speech switches the sung sound on and off many times a second, which
# smears each harmonic's line; the lines of twenty harmonics together still
# pin the fundamental down: the frequency, a semitone either side of the
# expected one in steps of 0.1 cent, whose harmonics carry the most energy
# in a finely interpolated (zero-padded) spectrum.
nfft = 16 * max(len(x) for x in stretches)
power = np.zeros(nfft // 2 + 1)
for x in stretches:
    power += np.abs(np.fft.rfft(x * np.hanning(len(x)), nfft)) ** 2
hz_per_bin = RATE / nfft
candidates = expected * 2 ** (np.arange(-1000, 1001) / 12000)
harmonics = np.arange(1, 21)
score = np.sqrt(power[np.rint(np.outer(candidates, harmonics) / hz_per_bin).astype(int)]).sum(axis=1)
f0 = candidates[int(np.argmax(score))]
cents = 1200 * math.log2(f0 / expected)
print("fundamental %.3f Hz; expected %.4f Hz; %.2f cents off" % (f0, expected, cents))
if abs(cents) > tolerance:
    sys.exit("the output's fundamental is not %.4f Hz within %g cents" % (expected, tolerance))
PY
  /usr/bin/python3 "$work/pitch.py" "$live_dir" "$work/midi-output.wav" 0 2 || fail "the output while note 60 held"
  /usr/bin/python3 "$work/pitch.py" "$live_dir" "$work/midi-bent.wav" 1.999755859375 2 ||
    fail "the output while note 60 held, bent full up"
fi
kill "$player_pid" 2>/dev/null
wait "$player_pid" 2>/dev/null
player_pid=""
[ -z "$(error_box)" ] || fail "an error box appeared"

# The JACK server goes away under the running program (its user stops it):
# the program plays on, and its end is a normal one.
kill "$jack_pid"
wait "$jack_pid"
jack_pid=""
xdotool windowfocus --sync "$main"
xdotool mousemove --window "$main" 90 270 mousedown 1
expect_pixel_soon $key24 "255,0,0" "$work/jack-gone-mouse.png" "key 24 under the mouse after the JACK server went"
xdotool mouseup 1
expect_pixel_soon $key24 "255,255,255" "$work/jack-gone-released.png" "key 24 released after the JACK server went"
[ -z "$(error_box)" ] || fail "an error box appeared when the JACK server went"
expect_sound_running "after the JACK server went"

# SIGTERM (the session's end) closes the program normally. Should it not
# be gone within 30 s, where each of its threads waits is printed (the
# kernel's wait channel and gdb's backtraces) before it is killed.
kill -TERM "$app_pid"
# The watchdog polls, so that killing it leaves no sleep of 30 s behind.
(
  for _ in $(seq 300); do
    [ -d "/proc/$app_pid" ] || exit 0
    sleep 0.1
  done
  echo "--- the program is still there 30 s after SIGTERM; its threads wait in:"
  for t in /proc/"$app_pid"/task/*; do
    echo "$(basename "$t") $(awk '{print $3}' "$t/stat" 2>/dev/null) $(cat "$t/wchan" 2>/dev/null)"
  done
  timeout 60 gdb -q -batch -p "$app_pid" -ex "thread apply all bt" 2>&1 | grep -E '^(Thread|#)' | head -200
  kill -KILL "$app_pid"
) &
watchdog=$!
wait "$app_pid"
rc=$?
kill "$watchdog" 2>/dev/null
wait "$watchdog" 2>/dev/null
app_pid=""
[ "$rc" = 0 ] || fail "the program ended with $rc after SIGTERM"

if [ "$failures" -gt 0 ]; then
  echo "--- program output"; cat "$work/app.log"
  echo "--- jackd"; cat "$work/jackd.log"
  exit 1
fi
echo "all checks passed; screenshots and the recording in $work"
