#!/bin/sh
# Replays each fuzz target's corpus and saved crashers, then fuzzes each for a
# few seconds. Usage: fuzz.sh BUILD_DIR SECONDS
set -eu
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target" | sed 's/^fuzz_//')
    corpus="$root/fuzz/corpus/$name"
    work=$(mktemp -d)
    mkdir "$work/corpus"
    echo "fuzz: $name"
    # Replay what is kept in the repository, crashers included.
    if [ -d "$corpus" ] && [ -n "$(ls -A "$corpus")" ]; then
        "$target" -runs=0 "$corpus" >"$work/replay.log" 2>&1 || { cat "$work/replay.log"; status=1; }
    fi
    if [ "$seconds" -gt 0 ]; then
        "$target" -max_total_time="$seconds" -timeout=2 -rss_limit_mb=512 -max_len=262144 \
            -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" ${corpus:+"$corpus"} >"$work/fuzz.log" 2>&1 \
            || { tail -n 60 "$work/fuzz.log"; status=1; }
        grep -h '^stat::number_of_executed_units' "$work/fuzz.log" || true
    fi
    rm -rf "$work"
done
exit $status
