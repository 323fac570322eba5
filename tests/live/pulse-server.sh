#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts or stops a private, headless audio server for the live tests.
#
#   pulse-server.sh start DIR   starts a server whose sockets, state, config
#                               and logs live in DIR (made fresh), with two
#                               null sinks: vocoder_in (its monitor is the
#                               default source) and vocoder_out (the default
#                               sink). Prints the client's environment as
#                               `export` lines and writes DIR/env.
#   pulse-server.sh stop DIR    stops it by the pids in DIR/*.pid and waits
#                               until they have gone.
#
# The server is PipeWire's where its PulseAudio server (pipewire-pulse) is
# installed, as on a desktop: a private session bus, pipewire, wireplumber and
# pipewire-pulse, each with DIR's runtime, config and state folders. Elsewhere
# (CI) it is PulseAudio. SORVANE_AUDIO_SERVER=pulseaudio or =pipewire chooses.
# Clients reach either by PULSE_SERVER=unix:DIR/native, and PipeWire's own
# tools (pw-link) by PIPEWIRE_RUNTIME_DIR=DIR/runtime. Neither touches the
# user's own sound set-up: PulseAudio runs with -n (no default start script),
# and every path of either server points into DIR.
#
# The servers run their audio threads at real-time priority where the
# machine allows it (root, an RLIMIT_RTPRIO, or RTKit), as on a desktop, and
# at normal priority elsewhere: PulseAudio with --realtime=yes, PipeWire and
# its PulseAudio server through the real-time module that their own
# configurations load (libpipewire-module-rt, which goes on without it).
#
# DIR must be short: the longest socket in it, PipeWire's runtime/pulse/native,
# must fit a Unix socket address (108 bytes).
set -euo pipefail

cmd=${1:?usage: pulse-server.sh start|stop DIR}
dir=${2:?usage: pulse-server.sh start|stop DIR}
# "/runtime/pulse/native" is 21 characters; the address holds 107 and a NUL.
if [ $((${#dir} + 21)) -gt 107 ]; then
  echo "pulse-server.sh: $dir is too long for the server's sockets (at most 86 characters)" >&2
  exit 2
fi

# A process that was killed may linger as a zombie, so /proc is the truth:
# alive means its status can be read and its state is neither Z (zombie) nor
# X (dead). Its command line is no test: it reads empty while the process is
# in the middle of an exec (env becoming the server), and a busy machine can
# catch it there.
alive() {
  local state
  state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Waits up to two seconds for a server's socket to appear.
wait_for_socket() {
  for _ in $(seq 1 100); do
    [ -S "$1" ] && return
    sleep 0.02
  done
}

stop_pid() {
  local pidfile=$1
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

# Clients first, the bus last.
stop_server() {
  local name
  for name in pulseaudio pipewire-pulse wireplumber pipewire dbus; do
    stop_pid "$dir/$name.pid"
  done
}

choose_server() {
  case "${SORVANE_AUDIO_SERVER:-}" in
    pulseaudio | pipewire) echo "$SORVANE_AUDIO_SERVER"; return ;;
    "") ;;
    *) echo "SORVANE_AUDIO_SERVER must be pulseaudio or pipewire" >&2; exit 2 ;;
  esac
  if command -v pipewire-pulse >/dev/null && command -v wireplumber >/dev/null &&
     command -v pipewire >/dev/null && command -v dbus-daemon >/dev/null; then
    echo pipewire
  elif command -v pulseaudio >/dev/null; then
    echo pulseaudio
  else
    echo "neither pulseaudio nor pipewire-pulse (with pipewire, wireplumber and dbus-daemon) is installed" >&2
    exit 1
  fi
}

start_pulseaudio() {
  cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native auth-cookie=$dir/cookie
PA
  # One plain command in the background, so that $! is the server itself.
  # No D-Bus and no display: libdbus must fail fast and quietly.
  env -u DISPLAY HOME="$dir/state" XDG_RUNTIME_DIR="$dir/runtime" \
    PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-dbus" \
    pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 \
      --use-pid-file=no --system=no --realtime=yes --high-priority=yes \
      --disallow-exit=yes --log-target=stderr --log-level=warn \
      </dev/null >"$dir/pulseaudio.log" 2>&1 &
  echo $! >"$dir/pulseaudio.pid"
}

start_pipewire() {
  # The graph runs at the vocoder's rate, so nothing is resampled and the
  # tests can compare samples exactly.
  mkdir -p "$dir/config/pipewire/pipewire.conf.d" "$dir/data"
  cat >"$dir/config/pipewire/pipewire.conf.d/sorvane-tests.conf" <<CONF
context.properties = {
    default.clock.rate = 22050
    default.clock.allowed-rates = [ 22050 ]
}
CONF
  local envs=(env -u DISPLAY -u WAYLAND_DISPLAY -u PIPEWIRE_REMOTE HOME="$dir/state"
              XDG_RUNTIME_DIR="$dir/runtime" PIPEWIRE_RUNTIME_DIR="$dir/runtime"
              PULSE_RUNTIME_PATH="$dir/runtime/pulse" XDG_CONFIG_HOME="$dir/config"
              XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/data"
              DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus")
  dbus-daemon --session --address="unix:path=$dir/bus" --nofork --nopidfile \
    </dev/null >"$dir/dbus.log" 2>&1 &
  echo $! >"$dir/dbus.pid"
  wait_for_socket "$dir/bus"
  "${envs[@]}" pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
  echo $! >"$dir/pipewire.pid"
  wait_for_socket "$dir/runtime/pipewire-0"
  "${envs[@]}" wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
  echo $! >"$dir/wireplumber.pid"
  "${envs[@]}" pipewire-pulse </dev/null >"$dir/pipewire-pulse.log" 2>&1 &
  echo $! >"$dir/pipewire-pulse.pid"
  # Its socket is runtime/pulse/native; clients use the same path as with
  # PulseAudio. It asks for no cookie, but libpulse complains when the one it
  # is told to read is missing.
  ln -s "$dir/runtime/pulse/native" "$dir/native"
  head -c 256 /dev/urandom >"$dir/cookie"
}

case "$cmd" in
  start)
    server=$(choose_server)
    stop_server
    rm -rf "$dir"
    mkdir -p "$dir/state" "$dir/runtime"
    chmod 700 "$dir" "$dir/runtime"
    "start_$server"
    export PULSE_SERVER="unix:$dir/native" PULSE_COOKIE="$dir/cookie"
    main_pid=$(cat "$dir/$([ "$server" = pipewire ] && echo pipewire-pulse || echo pulseaudio).pid")
    up=0
    for _ in $(seq 1 200); do
      if timeout 5 pactl info >/dev/null 2>&1; then
        up=1
        break
      fi
      alive "$main_pid" || break
      sleep 0.05
    done
    # The sinks: 22050 Hz mono 16-bit. norewinds=1 keeps PulseAudio's null
    # sink from rendering 2-s blocks (new streams would start seconds late);
    # PipeWire's null sinks ignore it.
    if [ "$up" = 1 ]; then
      for sink in vocoder_in vocoder_out; do
        if ! timeout 5 pactl load-module module-null-sink sink_name=$sink rate=22050 channels=1 \
               channel_map=mono format=s16le norewinds=1 sink_properties=device.description=$sink \
               >/dev/null; then
          up=0
        fi
      done
    fi
    # wireplumber may take a moment to learn of the new sinks.
    if [ "$up" = 1 ]; then
      up=0
      for _ in $(seq 1 100); do
        if timeout 5 pactl set-default-sink vocoder_out 2>/dev/null &&
           timeout 5 pactl set-default-source vocoder_in.monitor 2>/dev/null &&
           timeout 5 pactl info 2>/dev/null | grep -q '^Default Sink: vocoder_out$'; then
          up=1
          break
        fi
        sleep 0.05
      done
    fi
    if [ "$up" = 1 ]; then
      {
        echo "export PULSE_SERVER='$PULSE_SERVER'"
        echo "export PULSE_COOKIE='$PULSE_COOKIE'"
        echo "export PIPEWIRE_RUNTIME_DIR='$dir/runtime'"
      } >"$dir/env"
      cat "$dir/env"
      exit 0
    fi
    echo "the $server server did not come up; its logs:" >&2
    for log in "$dir"/*.log; do
      echo "== $log" >&2
      cat "$log" >&2 || true
    done
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
