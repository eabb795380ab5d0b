#!/usr/bin/env bash
# A private Secret Service (gnome-keyring) on a private session bus, with an unlocked default
# collection, for the keyring storage tests. Only the tests that ask for it use it: the bus address
# goes out as VOXLET_TEST_KEYRING_BUS, so every other process keeps its own session bus.
#   keyring.sh start DIR   prints the variables the tests need
#   keyring.sh stop DIR
set -euo pipefail
action=$1 dir=$2
case "$action" in
start)
  mkdir -p "$dir/home" "$dir/runtime" "$dir/config" "$dir/data" "$dir/cache"
  chmod 700 "$dir/home" "$dir/runtime"
  # The private HOME comes first, so that whatever the bus starts on demand stays inside DIR too.
  export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/config" \
    XDG_DATA_HOME="$dir/data" XDG_CACHE_HOME="$dir/cache"
  # No service activation on this bus: a query that reached the bus before our daemon had taken its
  # name would otherwise start a second, locked keyring that takes the name instead.
  cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$dir/runtime</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  address=$(dbus-daemon --config-file="$dir/bus.conf" --fork --nopidfile --print-address=1 --print-pid=3 \
    3>"$dir/dbus.pid" | head -n 1)
  [ -n "$address" ] || { echo "dbus-daemon gave no address" >&2; exit 1; }
  export DBUS_SESSION_BUS_ADDRESS="$address"
  # The password on standard input creates and unlocks the "login" collection, the default one.
  printf pw | gnome-keyring-daemon --foreground --unlock --components=secrets >"$dir/keyring.log" 2>&1 &
  echo $! >"$dir/keyring.pid"
  for _ in $(seq 200); do
    dbus-send --bus="$address" --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true' || {
      sleep 0.05
      continue
    }
    if dbus-send --bus="$address" --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets/aliases/default \
      org.freedesktop.DBus.Properties.Get string:org.freedesktop.Secret.Collection string:Locked 2>/dev/null \
      | grep -q 'boolean false'; then
      ready=1
      break
    fi
    sleep 0.05
  done
  [ -n "${ready:-}" ] || { echo "the keyring did not come up unlocked" >&2; cat "$dir/keyring.log" >&2; exit 1; }
  echo "export VOXLET_TEST_KEYRING_BUS='$address'"
  echo "export VOXLET_TEST_KEYRING=1"
  ;;
stop)
  for p in keyring dbus; do
    [ -f "$dir/$p.pid" ] && kill "$(cat "$dir/$p.pid")" 2>/dev/null || true
  done
  ;;
esac
