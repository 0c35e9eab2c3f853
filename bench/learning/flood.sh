#!/bin/sh
# What the classification server holds under a flood: starts the build's
# server with an empty store on a loopback address of its own, floods it for
# SECONDS with lookups of unique links (or digests) and prints the server's
# resident memory (now and at its peak) and the size of its store file.
#
#   sh bench/learning/flood.sh [BUILD_DIR] [SECONDS] [links|digests] [PER_LOOKUP] [LENGTH]
#   sh bench/learning/flood.sh [BUILD_DIR] report [MEGABYTES]
#
# The second form learns a report of so many megabytes (default 10) with the
# build's engine and times lookups by UDP meanwhile.
# Not part of CI.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/learning/server.sh"
build=${1:-$root/build/default}
seconds=${2:-60}
kind=${3:-links}
per_lookup=${4:-100}
length=${5:-1024}
megabytes=${3:-10}
# The engine only to learn a report: a flood of lookups needs none.
if [ "$seconds" = report ]; then set -- --engine "$build/engine"; else set --; fi
scratch=$(mktemp -d)
address=127.0.4.$(( $$ % 250 + 1 ))
"$build/standins/classification_server/qv-classification-server" --address "$address" --port 0 \
    --credential 10:0:bench --store "$scratch/learned.store" --log "$scratch/server.log" "$@" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$scratch"' EXIT INT TERM
wait_until_listening "$scratch/server.log"
port=$(sed -n 's/^listening on .* port \([0-9]*\) .*/\1/p' "$scratch/server.log")
if [ "$seconds" = report ]; then
    "$build/bench/classification_flood" "$address" "$port" report "$megabytes"
    exit 0
fi
"$build/bench/classification_flood" "$address" "$port" "$seconds" "$kind" "$per_lookup" "$length"
sleep 12 # a rewrite of the store
grep -E '^Vm(RSS|HWM)' "/proc/$server/status"
wc -c "$scratch"/learned.store*
kill $server
wait $server || true
echo "after stopping:"
wc -c "$scratch"/learned.store*
