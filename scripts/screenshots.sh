#!/bin/sh
# Starts the installed system on a virtual X display (Xvfb) with the sample
# messages and saves PNGs: the mail host's window with the plug-in's toolbar
# item and its menu, and the application's main window on the pages the
# plug-in's menu brings up. When the build holds qv-screenshots, every page
# and dialog is saved too.
#
#   sh scripts/screenshots.sh [--prefix DIR] [--out DIR]
#
# Defaults: the installation of scripts/run.sh (install/) and
# docs/screenshots/ in the checkout.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$root/install
out=$root/docs/screenshots
while [ $# -gt 0 ]; do
    case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: screenshots.sh [--prefix DIR] [--out DIR]" >&2; exit 2 ;;
    esac
done
[ -x "$prefix/bin/qv-run-tool" ] || { echo "screenshots: no installation in $prefix (sh scripts/run.sh makes one)" >&2; exit 1; }
mkdir -p "$out"
out=$(cd "$out" && pwd)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qv-screenshots.XXXXXX")
xvfb_pid=''
system_pid=''
finish() {
    if [ -n "$system_pid" ]; then
        kill -TERM "$system_pid" 2>/dev/null || true
        wait "$system_pid" 2>/dev/null || true
    fi
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 1' INT TERM

# A display of our own, wide enough for both windows side by side.
display=99
while [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 2200x1000x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
xvfb_pid=$!
tenths=100
until [ -e "/tmp/.X11-unix/X$display" ]; do
    tenths=$((tenths - 1))
    [ "$tenths" -gt 0 ] || { echo "screenshots: Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
export DISPLAY=":$display"
unset XAUTHORITY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

# No window manager places the windows: the command lines do.
export QV_MAIL_HOST_ARGUMENTS="-qwindowgeometry 1100x720+0+0"
export QV_APPLICATION_ARGUMENTS="-qwindowgeometry +1120+0"
sh "$root/scripts/start-system.sh" --prefix "$prefix" --run-folder "$scratch/run" --scripted-block \
    >"$scratch/system.log" 2>&1 &
system_pid=$!

wait_for_line() {
    tenths=$(($2 * 10))
    until grep -q "$1" "$scratch/system.log"; do
        tenths=$((tenths - 1))
        if [ "$tenths" -le 0 ] || ! kill -0 "$system_pid" 2>/dev/null; then
            echo "screenshots: the system did not get to \"$1\":" >&2
            cat "$scratch/system.log" >&2
            exit 1
        fi
        sleep 0.1
    done
}
wait_for_line '^ready$' 120
wait_for_line 'samples  all delivered' 180

# The system's bus, for the mail host's scripting interface.
DBUS_SESSION_BUS_ADDRESS=$(sed -n 's/^.*  bus      private session bus //p' "$scratch/system.log")
export DBUS_SESSION_BUS_ADDRESS
host() {
    method=$1
    shift
    dbus-send --session --print-reply --dest=org.quorvane.MailHost /org/quorvane/MailHost \
        "org.quorvane.MailHost.$method" "$@" >/dev/null
}

grab() {
    "$prefix/bin/qv-run-tool" grab "$out/$1.png" && echo "screenshots: $out/$1.png"
}
# Lets the windows paint before a grab; there is nothing to poll for.
settle() {
    sleep 1
}

settle
grab system
if host OpenMenu string:QV_QUORVANE int32:1; then
    settle
    grab mail-host-menu
    host CloseMenu || true
fi
for page in Settings Account; do
    if host ChooseMenuItem string:QV_QUORVANE int32:1 "string:Show $page"; then
        settle
        grab "main-window-$(echo "$page" | tr '[:upper:]' '[:lower:]')"
    fi
done

# Every page and dialog, each in a host window of its own.
tool=$(find "$root/build" -name qv-screenshots -type f -perm -u+x 2>/dev/null | head -n 1)
if [ -n "$tool" ]; then
    mkdir -p "$out/pages"
    "$tool" "$out/pages" && echo "screenshots: $out/pages"
fi
