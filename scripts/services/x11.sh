#!/usr/bin/env bash
# A private X server (Xvfb) with a small window manager, for typing, focus and shortcut tests.
#   x11.sh start DIR   prints the variables the tests need
#   x11.sh stop DIR
set -euo pipefail
action=$1 dir=$2
case "$action" in
start)
  for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=":$n"; break; }
  done
  [ -n "${display:-}" ] || { echo "no free display number" >&2; exit 1; }
  Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp -noreset >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 100); do
    DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break
    sleep 0.05
  done
  DISPLAY=$display xdpyinfo >/dev/null 2>&1 || { cat "$dir/xvfb.log" >&2; exit 1; }
  DISPLAY=$display openbox --sm-disable >"$dir/openbox.log" 2>&1 &
  echo $! >"$dir/openbox.pid"
  # The window manager is ready once it owns the EWMH check window.
  for _ in $(seq 100); do
    DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.05
  done
  echo "export DISPLAY=$display"
  echo "export VOXLET_TEST_X11=1"
  ;;
stop)
  for p in openbox xvfb; do
    [ -f "$dir/$p.pid" ] && kill "$(cat "$dir/$p.pid")" 2>/dev/null || true
  done
  ;;
esac
