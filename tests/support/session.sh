#!/bin/sh
# Runs a test program the way a desktop session would, but sealed off: a
# private session bus, a fresh HOME and XDG folders, no display needed.
set -eu
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qv-session.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/home" "$scratch/config" "$scratch/data" "$scratch/cache" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
    XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/runtime"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" LANG="${LANG:-C.UTF-8}"
set +e
dbus-run-session -- "$@"
exit $?
