#!/usr/bin/env bash
# Starts or stops a private, headless PulseAudio server for the live tests.
#
#   pulse-server.sh start DIR   starts a server whose socket, cookie, state and
#                               log live in DIR (made fresh), with two null
#                               sinks: vocoder_in (its monitor is the default
#                               source) and vocoder_out (the default sink).
#                               Prints the client's environment as
#                               `export` lines and writes DIR/env.
#   pulse-server.sh stop DIR    stops the server by the pid in DIR/pulseaudio.pid
#                               and waits until it has gone.
#
# The server never touches the user's own PulseAudio set-up: -n skips the
# default start script, and HOME, runtime and state paths all point into DIR.
set -euo pipefail

cmd=${1:?usage: pulse-server.sh start|stop DIR}
dir=${2:?usage: pulse-server.sh start|stop DIR}

# A process that was killed may linger as a zombie, so /proc is the truth:
# alive means it has a command line and is not in state Z.
alive() {
  local pid=$1
  [ -r "/proc/$pid/status" ] || return 1
  ! grep -q '^State:[[:space:]]*Z' "/proc/$pid/status" 2>/dev/null || return 1
  # /proc files report size 0, so read the command line instead of testing -s.
  [ -n "$(tr -d '\0' <"/proc/$pid/cmdline" 2>/dev/null)" ]
}

stop_server() {
  local pidfile="$dir/pulseaudio.pid"
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  if [ -n "$pid" ] && alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$pidfile"
}

case "$cmd" in
  start)
    command -v pulseaudio >/dev/null || { echo "pulseaudio is not installed" >&2; exit 1; }
    stop_server
    rm -rf "$dir"
    mkdir -p "$dir/state" "$dir/runtime"
    chmod 700 "$dir" "$dir/runtime"
    cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native auth-cookie=$dir/cookie
load-module module-null-sink sink_name=vocoder_in rate=22050 channels=1 format=s16le norewinds=1 sink_properties=device.description=vocoder_in
load-module module-null-sink sink_name=vocoder_out rate=22050 channels=1 format=s16le norewinds=1 sink_properties=device.description=vocoder_out
set-default-sink vocoder_out
set-default-source vocoder_in.monitor
PA
    # One plain command in the background, so that $! is the server itself.
    # No D-Bus and no display: libdbus must fail fast and quietly.
    env -u DISPLAY HOME="$dir/state" XDG_RUNTIME_DIR="$dir/runtime" \
      PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" \
      DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-dbus" \
      pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 \
        --use-pid-file=no --system=no --realtime=no --high-priority=no \
        --disallow-exit=yes --log-target=stderr --log-level=warn \
        </dev/null >"$dir/pulseaudio.log" 2>&1 &
    echo $! >"$dir/pulseaudio.pid"
    export PULSE_SERVER="unix:$dir/native" PULSE_COOKIE="$dir/cookie"
    for _ in $(seq 1 100); do
      if timeout 5 pactl info >/dev/null 2>&1; then
        {
          echo "export PULSE_SERVER='$PULSE_SERVER'"
          echo "export PULSE_COOKIE='$PULSE_COOKIE'"
        } >"$dir/env"
        cat "$dir/env"
        exit 0
      fi
      alive "$(cat "$dir/pulseaudio.pid")" || break
      sleep 0.05
    done
    echo "the PulseAudio server did not come up; its log:" >&2
    cat "$dir/pulseaudio.log" >&2 || true
    stop_server
    exit 1
    ;;
  stop)
    stop_server
    ;;
  *)
    echo "usage: pulse-server.sh start|stop DIR" >&2
    exit 2
    ;;
esac
