#!/usr/bin/env bash
# The program on a real X server of its own: the window's size, keys that
# light up while held from the PC keyboard and the mouse, a second start
# that brings the first window forward and ends, a restart after a crash,
# and the Exit button.
#   x11_end_to_end.sh PATH_TO_SORVANE WORK_DIR
set -uo pipefail
prog=$1
work=$2
rm -rf "$work"
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"

xvfb_pid=""
app_pid=""
cover_pid=""
cleanup() {
  for pid in $app_pid $cover_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null
  done
  wait 2>/dev/null
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# An X server of our own on a free display.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
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

# Starts the program and waits for its window; a device error box (no
# sound card here) is dismissed with Enter.
start_program() {
  "$prog" >>"$work/app.log" 2>&1 &
  app_pid=$!
  main=""
  for _ in $(seq 150); do
    box=$(xdotool search --onlyvisible --name '^Sorvane (ERROR!|エラー)$' 2>/dev/null | head -n1)
    if [ -n "$box" ]; then
      xdotool windowfocus --sync "$box" key Return
    fi
    main=$(visible_main)
    [ -n "$main" ] && [ -z "$box" ] && break
    sleep 0.1
  done
  [ -n "$main" ] || { fail "no main window"; return 1; }
  sleep 0.3
}

start_program || exit 1

read -r w h < <(xwininfo -id "$main" | awk '/Width:/{w=$2} /Height:/{h=$2} END{print w, h}')
[ "$w" = 375 ] && [ "$h" = 369 ] || fail "window is ${w}x${h}, expected 375x369"

# PC keys: Z (lower row) and Q (upper row) held together.
xdotool windowfocus --sync "$main"
xdotool keydown z keydown q
sleep 0.4
import -window "$main" "$work/keys-held.png"
expect_pixel "$work/keys-held.png" 20 345 "255,0,0" "Z held"
expect_pixel "$work/keys-held.png" 20 270 "255,0,0" "Q held"
expect_pixel "$work/keys-held.png" 50 345 "255,255,255" "X not held"
xdotool keyup z keyup q
sleep 0.4
import -window "$main" "$work/keys-released.png"
expect_pixel "$work/keys-released.png" 20 345 "255,255,255" "Z released"
expect_pixel "$work/keys-released.png" 20 270 "255,255,255" "Q released"
expect_pixel "$work/keys-released.png" 360 300 "160,160,164" "window background"

# Mouse: the left button on the black key 4, then the right button on T.
xdotool mousemove --window "$main" 105 230 mousedown 1
sleep 0.4
import -window "$main" "$work/mouse-left.png"
expect_pixel "$work/mouse-left.png" 105 220 "255,0,0" "key 4 under the left button"
xdotool mouseup 1
sleep 0.3
xdotool mousemove --window "$main" 155 275 mousedown 3
sleep 0.4
import -window "$main" "$work/mouse-right.png"
expect_pixel "$work/mouse-right.png" 155 270 "255,0,0" "key T under the right button"
expect_pixel "$work/mouse-right.png" 105 220 "0,0,0" "key 4 released"
xdotool mouseup 3
sleep 0.4
import -window "$main" "$work/mouse-released.png"
expect_pixel "$work/mouse-released.png" 155 270 "255,255,255" "key T released"

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
"$prog" >>"$work/app.log" 2>&1
rc=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$rc" = 0 ] || fail "second start ended with $rc"
[ "$elapsed_ms" -lt 5000 ] || fail "second start took ${elapsed_ms} ms"
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

# Exit closes the window and ends the program.
xdotool mousemove --window "$main" 340 156 click 1
for _ in $(seq 50); do
  kill -0 "$app_pid" 2>/dev/null || break
  [ "$(awk '/^State:/{print $2}' /proc/$app_pid/status 2>/dev/null)" = Z ] && break
  sleep 0.1
done
if kill -0 "$app_pid" 2>/dev/null && [ "$(awk '/^State:/{print $2}' /proc/$app_pid/status 2>/dev/null)" != Z ]; then
  fail "Exit did not end the program"
else
  wait "$app_pid"
  rc=$?
  [ "$rc" = 0 ] || fail "program ended with $rc"
  app_pid=""
fi

if [ "$failures" -gt 0 ]; then
  echo "--- program output"; cat "$work/app.log"
  exit 1
fi
echo "all checks passed; screenshots in $work"
