#!/usr/bin/env bash
# Runs a command against a real, private Secret Service: its own D-Bus
# session bus (dbus-run-session) and a gnome-keyring-daemon whose login
# keyring lives in a scratch folder. Whatever is started here is stopped
# before the script exits; the command's exit status is passed on.
#
#   tools/with-keyring.sh COMMAND [ARG...]
#
# Environment:
#   CORVANE_KEYRING_DIR       folder holding HOME and XDG_DATA_HOME; kept, so a
#                             later run on it sees the same keyring (default:
#                             a temporary folder, removed afterwards)
#   CORVANE_KEYRING_PASSWORD  unlocks the login keyring, or creates it with
#                             this password (default: a fixed test password;
#                             a wrong one leaves an existing keyring locked)
#   CORVANE_KEYRING_TIMEOUT   seconds to wait for the daemon (default 20)
# The command sees CORVANE_KEYRING_TESTS=1 and both variables above.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
fi

# First pass: start a private bus and run this script again inside it.
if [ -z "${_CORVANE_KEYRING_PARENT:-}" ]; then
  for tool in dbus-run-session dbus-send gnome-keyring-daemon; do
    command -v "$tool" >/dev/null || { echo "with-keyring: $tool not found (apt-get install gnome-keyring dbus)" >&2; exit 2; }
  done
  _CORVANE_KEYRING_PARENT=1 exec dbus-run-session -- "$0" "$@"
fi
unset _CORVANE_KEYRING_PARENT  # a nested run starts its own bus

owned_dir=""
daemon_pid=""
cleanup() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill "$daemon_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$daemon_pid" 2>/dev/null || true
  fi
  [ -z "$owned_dir" ] || rm -rf "$owned_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

dir=${CORVANE_KEYRING_DIR:-}
if [ -z "$dir" ]; then
  dir=$(mktemp -d "${TMPDIR:-/tmp}/corvane-keyring.XXXXXX")
  owned_dir=$dir
fi
mkdir -p "$dir/home/.local/share" "$dir/run"
chmod 700 "$dir/run"
dir=$(cd "$dir" && pwd)
export HOME="$dir/home" XDG_DATA_HOME="$dir/home/.local/share" XDG_RUNTIME_DIR="$dir/run"
export XDG_CONFIG_HOME="$dir/home/.config" XDG_CACHE_HOME="$dir/home/.cache"
export CORVANE_KEYRING_DIR="$dir" CORVANE_KEYRING_PASSWORD=${CORVANE_KEYRING_PASSWORD:-corvane-test-password}
unset DISPLAY WAYLAND_DISPLAY GNOME_KEYRING_CONTROL

bus_call() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "$@"
}

# --daemonize forks; the daemon's own process is found through its bus name.
printf %s "$CORVANE_KEYRING_PASSWORD" |
  gnome-keyring-daemon --unlock --components=secrets --daemonize >/dev/null

timeout=${CORVANE_KEYRING_TIMEOUT:-20}
deadline=$((SECONDS + timeout))
until bus_call org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true"; do
  if [ "$SECONDS" -ge "$deadline" ]; then
    echo "with-keyring: org.freedesktop.secrets has no owner after ${timeout}s" >&2
    exit 1
  fi
  sleep 0.1
done
daemon_pid=$(bus_call org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.secrets |
  awk '/uint32/ {print $2}')

status=0
CORVANE_KEYRING_TESTS=1 "$@" || status=$?
exit "$status"
