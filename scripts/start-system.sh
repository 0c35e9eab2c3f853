#!/bin/sh
# Runs an installed Quorvane with everything it talks to: a session bus when
# there is none, the stand-in classification server, the stand-in update
# service, the application and the stand-in mail host with the plug-in over
# a Maildir. Prints one line per event and "ready" once mail delivered into
# the Maildir is filtered; on SIGINT or SIGTERM stops everything in the
# reverse order of starting.
#
#   start-system.sh --prefix DIR [--run-folder DIR] [--maildir DIR]
#                   [--headless] [--scripted-block] [--backend ADDRESS]
#                   [--update-port PORT]
#
# Each program's process id is in state/NAME.pid of the run folder.
# --prefix is where the system was installed, with the stand-ins and
# qv-run-tool (the layout is scripts/install-layout.sh). Everything the run keeps lies
# in the run folder (default: run/ in the checkout): HOME with the settings,
# lists and logs, the servers' files and each program's output under logs/.
# Without --maildir the Maildir is maildir/ in the run folder; when it is
# made, the sample messages are delivered into it one by one; the Block of
# the collaborative road is then left to the user, or scripted with
# --headless or --scripted-block. QV_APPLICATION_ARGUMENTS and
# QV_MAIL_HOST_ARGUMENTS add arguments to the two programs' command lines.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
prefix=
run=$root/run
maildir=
headless=
scripted_block=
backend=127.0.0.1
update_port=2480
account=Local

usage() {
    sed -n '/^#   start-system/,/^#  *\[--update-port/s/^# //p' "$0" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    --run-folder) [ $# -ge 2 ] || usage; run=$2; shift 2 ;;
    --maildir) [ $# -ge 2 ] || usage; maildir=$2; shift 2 ;;
    --backend) [ $# -ge 2 ] || usage; backend=$2; shift 2 ;;
    --update-port) [ $# -ge 2 ] || usage; update_port=$2; shift 2 ;;
    --headless) headless=1; scripted_block=1; shift ;;
    --scripted-block) scripted_block=1; shift ;;
    -h|--help) usage ;;
    *) echo "start-system: unknown argument: $1" >&2; usage ;;
    esac
done

fail() {
    echo "start-system: $*" >&2
    exit 1
}

[ -n "$prefix" ] || usage
prefix=$(cd "$prefix" 2>/dev/null && pwd) || fail "no installation in $prefix"
. "$root/scripts/install-layout.sh"
bundle=$prefix/$QV_BUNDLE_INSTALL_DIR
stand_ins=$prefix/$QV_STAND_INS_INSTALL_DIR
application=$bundle/Contents/MacOS/Quorvane
plugin=$bundle/Contents/PlugIns/Quorvane.mailbundle
for program in "$application" "$stand_ins/qv-classification-server" "$stand_ins/qv-update-server" \
    "$stand_ins/qv-mail-host" "$stand_ins/qv-run-tool"; do
    [ -x "$program" ] || fail "$program is missing: build and install first (sh scripts/run.sh does both)"
done
[ -d "$plugin" ] || fail "the mail plug-in $plugin is missing"
case $update_port in
'' | *[!0-9]*) fail "--update-port needs a number" ;;
esac
if [ -z "$headless" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    fail "no display: run with --headless, or with DISPLAY set"
fi

mkdir -p "$run" || fail "cannot make the run folder $run"
run=$(cd "$run" && pwd)
logs=$run/logs
state=$run/state
mkdir -p "$logs" "$state" "$run/home" "$run/updates" "$run/runtime"
chmod 700 "$run/runtime"

first_run=
if [ -z "$maildir" ]; then
    maildir=$run/maildir
    [ -d "$maildir" ] || first_run=1
    mkdir -p "$maildir/cur" "$maildir/new" "$maildir/tmp"
else
    for folder in cur new tmp; do
        [ -d "$maildir/$folder" ] || fail "$maildir is not a Maildir (it has no $folder folder)"
    done
    maildir=$(cd "$maildir" && pwd)
fi

# The programs see the run folder as their home, so the settings, lists,
# logs and the mail host's Library stay inside it.
if [ -n "${DISPLAY:-}" ] && [ -z "${XAUTHORITY:-}" ] && [ -f "${HOME:-/nonexistent}/.Xauthority" ]; then
    export XAUTHORITY="$HOME/.Xauthority"
fi
export HOME="$run/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export XDG_DATA_DIRS="$prefix/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
[ -n "${XDG_RUNTIME_DIR:-}" ] || export XDG_RUNTIME_DIR="$run/runtime"
export PATH="$stand_ins:$prefix/bin:$PATH"
export LANG="${LANG:-C.UTF-8}"
platform=
if [ -n "$headless" ]; then
    # Programs the launch agent starts inherit it too.
    export QT_QPA_PLATFORM=offscreen
    platform="-platform offscreen"
fi
# The Library that the application checks for the installed plug-in.
library=$XDG_DATA_HOME/Library
logfolder=$XDG_DATA_HOME/Quorvane/Logs
events=$state/events.log
: >"$events"

# Process helpers. Every program runs in a session of its own, so that a ^C
# at the terminal reaches only this script, which stops them in order.
alive() {
    [ -n "$1" ] && [ -r "/proc/$1/stat" ] && [ "$(sed 's/^.*) //' "/proc/$1/stat" | cut -c1)" != Z ]
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND every 0.1 s; gives up
# early when the process $starting (if set) has ended.
starting=''
wait_until() {
    tenths=$(($1 * 10))
    what=$2
    shift 2
    while ! "$@" >/dev/null 2>&1; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || { echo "start-system: $what did not happen in time" >&2; return 1; }
        [ -z "$starting" ] || alive "$starting" || { echo "start-system: $what did not happen" >&2; return 1; }
        [ -z "$stopping" ] || return 1
        sleep 0.1
    done
}

bus_call() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "org.freedesktop.DBus.$1" \
        ${2:+"string:$2"}
}

has_owner() {
    bus_call NameHasOwner "$1" 2>/dev/null | grep -q 'boolean true'
}

owner_pid() {
    bus_call GetConnectionUnixProcessID "$1" 2>/dev/null | awk '/uint32/ { print $2 }'
}

host_has_viewer() {
    dbus-send --session --print-reply --dest=org.quorvane.MailHost /org/quorvane/MailHost \
        org.quorvane.MailHost.Viewers 2>/dev/null | grep -q 'int32 [1-9]'
}

# stop NAME PID: SIGTERM, then SIGKILL after 15 s.
stop() {
    alive "$2" || return 0
    echo "$(date +%H:%M:%S)  stopping $1"
    kill -TERM "$2" 2>/dev/null || return 0
    tenths=150
    while alive "$2" && [ "$tenths" -gt 0 ]; do
        sleep 0.1
        tenths=$((tenths - 1))
    done
    if alive "$2"; then
        echo "start-system: $1 did not stop in 15 s; killed" >&2
        kill -KILL "$2" 2>/dev/null || true
    fi
    wait "$2" 2>/dev/null || true
}

stopping=
bus_pid='' server_pid='' update_pid='' application_pid='' host_pid='' tail_pid='' printer_pid='' samples_pid=''

shut_down() {
    trap '' INT TERM
    stopping=1
    echo "$(date +%H:%M:%S)  stopping"
    [ -z "$samples_pid" ] || stop "sample delivery" "$samples_pid"
    stop "mail host" "$(owner_pid org.quorvane.MailHost || true)"
    stop "mail host" "$host_pid"
    stop "launch agent" "$(owner_pid org.quorvane.QVLaunchAgent || true)"
    # The application may have been started again by the launch agent.
    stop Quorvane "$(owner_pid org.quorvane.Quorvane || true)"
    stop Quorvane "$application_pid"
    stop "update service" "$update_pid"
    stop "classification server" "$server_pid"
    # The printer reads to the end of what tail passed on, then ends.
    [ -z "$tail_pid" ] || kill "$tail_pid" 2>/dev/null || true
    [ -z "$printer_pid" ] || wait "$printer_pid" 2>/dev/null || true
    stop "session bus" "$bus_pid"
    echo "$(date +%H:%M:%S)  stopped"
}
trap 'stopping=1' INT TERM
# shellcheck disable=SC2154 # status is set inside the trap
trap 'status=$?; shut_down; exit $status' EXIT

# The session bus.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] || ! bus_call GetId >/dev/null 2>&1; then
    bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1) || fail "cannot start a session bus"
    DBUS_SESSION_BUS_ADDRESS=$(echo "$bus" | sed -n 1p)
    bus_pid=$(echo "$bus" | sed -n 2p)
    export DBUS_SESSION_BUS_ADDRESS
    echo "$(date +%H:%M:%S)  bus      private session bus $DBUS_SESSION_BUS_ADDRESS"
fi
for name in org.quorvane.Quorvane org.quorvane.MailHost; do
    ! has_owner "$name" || fail "$name already runs on this session bus; stop it first"
done

# Events: the application's and the plug-in's logs and the server's output.
fifo=$state/events.fifo
rm -f "$fifo"
mkfifo "$fifo"
mkdir -p "$logfolder"
: >"$logs/classification-server.log"
# mawk, Debian's awk, reads a pipe in blocks unless told to read lines.
interactive=''
if awk -W version 2>/dev/null | grep -q mawk; then interactive='-W interactive'; fi
# shellcheck disable=SC2086 # $interactive is two words or none
setsid awk $interactive -v events="$events" -f "$root/scripts/events.awk" <"$fifo" &
printer_pid=$!
setsid tail -n 0 -F "$logfolder/QVCore.log" "$logfolder/QVMailPlugin.log" "$logs/classification-server.log" \
    >"$fifo" 2>/dev/null &
tail_pid=$!

# Settings, the lists of the samples on the first run, and the plug-in.
qv-run-tool defaults "QVBackendHost=$backend" "QVUpdateService=http://127.0.0.1:$update_port" ||
    fail "cannot write the settings"
if [ -n "$first_run" ]; then
    qv-run-tool lists --block offers@bulk-deals.test --allow anna.berg@friends.test --language it=remove ||
        fail "cannot write the sample lists"
fi
mkdir -p "$library/Mail/Bundles"
rm -rf "$library/Mail/Bundles/Quorvane.mailbundle"
cp -R "$plugin" "$library/Mail/Bundles/" || fail "cannot install the plug-in into $library"

# The stand-in classification server learns from reports and keeps what it
# learned in the run folder; it computes fingerprints with the installed
# engine.
credential=$(qv-run-tool credential) || fail "cannot read the account's credential"
# Its log holds at most twenty lines about requests a second and moves to
# classification-server.log.1 at 4 MiB, so a flood cannot fill the disk.
setsid "$stand_ins/qv-classification-server" --address "$backend" --port 2409 \
    --credential "$credential" --engine "$bundle/Contents/MacOS" --store "$run/classification-store" \
    --log "$logs/classification-server.log" >>"$logs/classification-server.log" 2>&1 &
server_pid=$!
starting=$server_pid
echo "$server_pid" >"$state/classification-server.pid"
wait_until 10 "the classification server's start" grep -q '^listening on' "$logs/classification-server.log" ||
    fail "the classification server did not start; see $logs/classification-server.log"

# The stand-in update service over an empty folder: there is no update.
setsid "$stand_ins/qv-update-server" --address 127.0.0.1 --port "$update_port" --folder "$run/updates" \
    >"$logs/update-service.log" 2>&1 &
update_pid=$!
starting=$update_pid
echo "$update_pid" >"$state/update-service.pid"
wait_until 10 "the update service's start" grep -q '^listening on' "$logs/update-service.log" ||
    fail "the update service did not start; see $logs/update-service.log"

# The application, then the mail host once the application listens.
# shellcheck disable=SC2086 # $platform and the arguments are several words
setsid "$application" $platform ${QV_APPLICATION_ARGUMENTS:-} >"$logs/Quorvane.log" 2>&1 &
application_pid=$!
starting=$application_pid
echo "$application_pid" >"$state/Quorvane.pid"
wait_until 30 "the start of Quorvane" has_owner org.quorvane.Quorvane ||
    fail "Quorvane did not start; see $logs/Quorvane.log"
wait_until 30 "the start of the engine" grep -q ' engine \| error ' "$events" ||
    echo "start-system: Quorvane logged no engine start; going on" >&2

# shellcheck disable=SC2086
setsid "$stand_ins/qv-mail-host" --library "$library" --account "$account=$maildir" $platform ${QV_MAIL_HOST_ARGUMENTS:-} \
    >"$logs/mail-host.log" 2>&1 &
host_pid=$!
starting=$host_pid
echo "$host_pid" >"$state/mail-host.pid"
wait_until 30 "the start of the mail host" has_owner org.quorvane.MailHost ||
    fail "the mail host did not start; see $logs/mail-host.log"
# Its bundles see new mail from its first viewer window on.
wait_until 30 "the mail host's viewer" host_has_viewer ||
    fail "the mail host opened no viewer; see $logs/mail-host.log"

starting=''
echo ready

if [ -n "$first_run" ]; then
    setsid sh "$root/scripts/deliver-samples.sh" --maildir "$maildir" --events "$events" \
        ${scripted_block:+--scripted-block} </dev/null &
    samples_pid=$!
fi

# Until interrupted: say when a program goes away or comes back.
watched="Quorvane:org.quorvane.Quorvane mail-host:org.quorvane.MailHost"
for entry in $watched; do
    echo up >"$state/${entry%%:*}"
done
while [ -z "$stopping" ]; do
    sleep 1 &
    wait $! 2>/dev/null || true
    for entry in $watched; do
        name=${entry%%:*}
        if has_owner "${entry#*:}"; then now=up; else now=down; fi
        if [ "$now" != "$(cat "$state/$name")" ]; then
            echo "$now" >"$state/$name"
            [ "$now" = up ] && word=started || word=stopped
            echo "$(date +%H:%M:%S)  process  $name $word" | tee -a "$events"
        fi
    done
    if [ -n "$server_pid" ] && ! alive "$server_pid"; then
        echo "$(date +%H:%M:%S)  process  classification-server stopped" | tee -a "$events"
        server_pid=
    fi
done
