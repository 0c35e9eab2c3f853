#!/bin/sh
# Starts the installed system on a virtual X display (Xvfb) under a small
# window manager (Openbox), with the sample messages, and saves PNGs cropped
# to the windows they show: the mail host with the application beside it,
# the mail host with the plug-in's menu open, and the application's window on
# the pages that the plug-in's menu brings up. When the build holds
# qv-screenshots, every page and dialog is saved too, into pages/.
#
#   sh scripts/screenshots.sh [--prefix DIR] [--out DIR]
#
# Defaults: the installation of scripts/run.sh (install/) and
# docs/screenshots/ in the checkout.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/install-layout.sh"
prefix=$root/install
out=$root/docs/screenshots
while [ $# -gt 0 ]; do
    case $1 in
    --prefix) [ $# -ge 2 ] || exit 2; prefix=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || exit 2; out=$2; shift 2 ;;
    *) echo "usage: screenshots.sh [--prefix DIR] [--out DIR]" >&2; exit 2 ;;
    esac
done
tool=$prefix/$QV_STAND_INS_INSTALL_DIR/qv-run-tool
[ -x "$tool" ] || { echo "screenshots: no installation in $prefix (sh scripts/run.sh makes one)" >&2; exit 1; }
for program in Xvfb openbox xdotool xwininfo xprop; do
    command -v "$program" >/dev/null || { echo "screenshots: $program is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qv-screenshots.XXXXXX")
xvfb_pid='' wm_pid='' system_pid=''
finish() {
    if [ -n "$system_pid" ]; then
        kill -TERM "$system_pid" 2>/dev/null || true
        wait "$system_pid" 2>/dev/null || true
    fi
    [ -z "$wm_pid" ] || kill "$wm_pid" 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 1' INT TERM

# poll SECONDS WHAT COMMAND...: runs COMMAND every 0.1 s until it succeeds.
poll() {
    tenths=$(($1 * 10))
    what=$2
    shift 2
    until "$@" >/dev/null 2>&1; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || { echo "screenshots: $what did not happen" >&2; exit 1; }
        sleep 0.1
    done
}

# A display of our own; Xvfb picks a free number and says which.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -wr -nolisten tcp 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
xvfb_pid=$!
poll 10 "Xvfb's start" grep -q . "$scratch/display"
export DISPLAY=":$(cat "$scratch/display")"
unset XAUTHORITY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

# The window manager places and frames the windows as on a desktop.
HOME=$scratch openbox --sm-disable >"$scratch/openbox.log" 2>&1 &
wm_pid=$!
poll 10 "the window manager's start" sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'

# Addresses of this run only, so that it can run beside another system.
backend=127.0.4.$(($$ % 200 + 10))
: >"$scratch/system.log"
update_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sh "$root/scripts/start-system.sh" --prefix "$prefix" --run-folder "$scratch/run" --scripted-block \
    --backend "$backend" --update-port "$update_port" >"$scratch/system.log" 2>&1 &
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

# area CLASS...: X,Y,W,H of the visible windows of these programs (by their
# WM_CLASS), with the window manager's frames, together.
area() {
    for class in "$@"; do
        xdotool search --onlyvisible --class "$class" 2>/dev/null || true
    done | sort -u | while read -r id; do
        frame=$(xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.* = //p' | tr -d ' ')
        xwininfo -id "$id" | awk -v frame="${frame:-0,0,0,0}" '
            /Absolute upper-left X:/ { x = $4 }
            /Absolute upper-left Y:/ { y = $4 }
            /Width:/ { w = $2 }
            /Height:/ { h = $2 }
            END {
                split(frame, f, ",")
                # Helper windows of a few pixels are no part of the picture.
                if (w > 16 && h > 16) print x - f[1], y - f[3], w + f[1] + f[2], h + f[3] + f[4]
            }'
    done | awk '
        NR == 1 { x0 = $1; y0 = $2; x1 = $1 + $3; y1 = $2 + $4 }
        { if ($1 < x0) x0 = $1; if ($2 < y0) y0 = $2
          if ($1 + $3 > x1) x1 = $1 + $3; if ($2 + $4 > y1) y1 = $2 + $4 }
        END { if (NR) printf "%d,%d,%d,%d\n", x0, y0, x1 - x0, y1 - y0 }'
}

# grab NAME CLASS...: saves NAME.png cropped to those programs' windows.
grab() {
    name=$1
    shift
    rectangle=$(area "$@")
    if [ -z "$rectangle" ]; then
        echo "screenshots: no window of $* to grab for $name" >&2
        return 1
    fi
    "$tool" grab "$out/$name.png" "$rectangle" 2>/dev/null && echo "screenshots: $out/$name.png ($rectangle)"
}

# settle CLASS...: waits until those programs' windows stop moving, so that
# a grab sees them placed and painted.
settle() {
    last='' same=0 tenths=100
    while [ "$same" -lt 5 ] && [ "$tenths" -gt 0 ]; do
        now=$(area "$@")
        if [ -n "$now" ] && [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; fi
        last=$now
        tenths=$((tenths - 1))
        sleep 0.1
    done
}

# Side by side: the mail host at the left, the application at the right.
activate_class() {
    id=$(xdotool search --onlyvisible --class "$1" 2>/dev/null | head -n 1)
    [ -z "$id" ] || xdotool windowactivate --sync "$id" >/dev/null 2>&1 || true
}
# place CLASS X Y: moves the program's window so that its frame's corner is
# at X,Y (xdotool moves the window inside the frame).
place() {
    id=$(xdotool search --onlyvisible --class "$1" 2>/dev/null | head -n 1)
    [ -n "$id" ] || return 0
    frame=$(xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.* = //p' | tr -d ' ')
    left=$(echo "${frame:-0,0,0,0}" | cut -d, -f1)
    top=$(echo "${frame:-0,0,0,0}" | cut -d, -f3)
    xdotool windowmove --sync "$id" $(($2 + left)) $(($3 + top)) >/dev/null 2>&1 || true
}
mail_host=qv-mail-host
application=Quorvane

place "$mail_host" 0 0
place "$application" 1108 0
settle "$mail_host" "$application"
grab system "$mail_host" "$application"

activate_class "$mail_host"
if host OpenMenu string:QV_QUORVANE int32:1; then
    poll 10 "the plug-in's menu" sh -c 'xdotool search --onlyvisible --class qv-mail-host | wc -l | grep -qv "^1$"'
    settle "$mail_host"
    grab mail-host-menu "$mail_host"
    host CloseMenu || true
else
    echo "screenshots: the mail host cannot open the plug-in's menu; no mail-host-menu.png" >&2
fi

# The plug-in's menu leaves the first-run page alone: give the welcome page
# an address, as a user would, so the pages it names can come up.
selected_page() {
    dbus-send --session --print-reply --dest=org.quorvane.Quorvane /org/quorvane/Quorvane \
        org.freedesktop.DBus.Properties.Get string:org.quorvane.Quorvane.MainWindow string:SelectedPage 2>/dev/null |
        awk '/int32/ { print $3 }'
}
first_run_over() {
    page=$(selected_page)
    [ -n "$page" ] && [ "$page" != -1 ]
}
activate_class "$application"
xdotool type --delay 20 "anna@example.com" && xdotool key Return
poll 10 "the end of the first run" first_run_over

for page in Settings Account; do
    if host ChooseMenuItem string:QV_QUORVANE int32:1 "string:Show $page"; then
        activate_class "$application"
        settle "$application"
        grab "main-window-$(echo "$page" | tr '[:upper:]' '[:lower:]')" "$application"
    fi
done

# Every page and dialog, each in a host window of its own.
pages=$(find "$root/build" -name qv-screenshots -type f -perm -u+x 2>/dev/null | head -n 1)
if [ -n "$pages" ]; then
    mkdir -p "$out/pages"
    "$pages" "$out/pages" >/dev/null && echo "screenshots: $out/pages"
fi
