#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the held-key test on an X server of its own whose keyboard repeats a
# held key after 100 ms, every 10 ms (Xvfb with no window manager, on a
# display it chooses), while other processes keep every processor busy.
#   x11_key_repeat.sh TEST_BINARY WORK_DIR
set -uo pipefail
binary=$1
work=$2
rm -rf "$work"
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset -ardelay 100 -arinterval 10 >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
busy_pids=""
trap 'kill "$xvfb_pid" $busy_pids 2>/dev/null; wait 2>/dev/null' EXIT
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
# The load: one busy process more than there are processors, each ending by
# itself should this script be killed.
for _ in $(seq $(( $(nproc) + 1 ))); do
  timeout 120 sh -c 'while :; do :; done' &
  busy_pids="$busy_pids $!"
done
DISPLAY=":$(head -n1 "$work/display")" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" "$binary"
