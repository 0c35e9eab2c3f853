#!/bin/sh
# The mail host over a session bus that goes away: it must end with a clear
# error and status 3, never go on filtering nothing while it looks alive.
#
#   bus_loss.sh QV-MAIL-HOST
set -u
host=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qv-bus-loss.XXXXXX")
bus_pid=
host_pid=
cleanup() {
    [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null
    [ -z "$bus_pid" ] || kill "$bus_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=offscreen LANG="${LANG:-C.UTF-8}"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$scratch/library"
chmod 700 "$XDG_RUNTIME_DIR"

dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$scratch/address" 4>"$scratch/pid" || exit 1
bus_pid=$(cat "$scratch/pid")
DBUS_SESSION_BUS_ADDRESS=$(cat "$scratch/address")
export DBUS_SESSION_BUS_ADDRESS

"$host" --library "$scratch/library" --account "Work=$scratch/Work" 2>"$scratch/stderr" &
host_pid=$!
# Up once it owns its bus name.
tries=0
until dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner \
    string:org.quorvane.MailHost >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || { echo "the mail host did not start"; cat "$scratch/stderr"; exit 1; }
    sleep 0.1
done

kill "$bus_pid"
bus_pid=
# It must notice and end by itself.
tries=0
while kill -0 "$host_pid" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || { echo "the mail host went on without its bus"; exit 1; }
    sleep 0.1
done
wait "$host_pid"
status=$?
host_pid=
cat "$scratch/stderr"
[ "$status" -eq 3 ] || { echo "status $status, not 3"; exit 1; }
grep -q "lost the session bus connection" "$scratch/stderr" || { echo "no clear error"; exit 1; }
echo "ended with status 3"
