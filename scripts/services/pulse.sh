#!/usr/bin/env bash
# A private PulseAudio server with a virtual microphone: a pipe source (32-bit float, mono, 48 kHz)
# that records whatever is written to its FIFO. Only clients that are given its
# address use it; the environment of other tests is left alone.
#   pulse.sh start DIR   prints the variables the tests need
#   pulse.sh stop DIR
set -euo pipefail
action=$1 dir=$(cd "$2" && pwd)
runtime=$dir/runtime
case "$action" in
start)
  mkdir -p "$runtime" "$dir/home"
  chmod 700 "$runtime" "$dir/home"
  cat >"$dir/server.pa" <<CONFIG
load-module module-native-protocol-unix auth-anonymous=1
load-module module-pipe-source source_name=mic file=$dir/mic.fifo format=float32le rate=48000 channels=1
set-default-source mic
CONFIG
  # The server writes its cookie under HOME and its socket and pid file under XDG_RUNTIME_DIR.
  HOME=$dir/home XDG_RUNTIME_DIR=$runtime pulseaudio --daemonize=yes --exit-idle-time=-1 -n \
    -F "$dir/server.pa" --log-target="file:$dir/server.log" >/dev/null 2>&1 || true
  server=unix:$runtime/pulse/native
  for _ in $(seq 100); do
    pactl --server="$server" info >/dev/null 2>&1 && break
    sleep 0.05
  done
  if ! pactl --server="$server" info >/dev/null 2>&1 || [ ! -p "$dir/mic.fifo" ]; then
    echo "pulseaudio did not start or has no virtual microphone" >&2
    cat "$dir/server.log" >&2 2>/dev/null || true
    exit 1
  fi
  echo "export VOXLET_TEST_PULSE=1"
  echo "export VOXLET_TEST_PULSE_SERVER=$server"
  echo "export VOXLET_TEST_PULSE_FIFO=$dir/mic.fifo"
  echo "export VOXLET_TEST_PULSE_SOURCE=mic"
  ;;
stop)
  pidfile=$runtime/pulse/pid
  if [ -f "$pidfile" ]; then
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
  fi
  ;;
esac
