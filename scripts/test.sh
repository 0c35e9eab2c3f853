#!/bin/sh
# Installs the dependencies, builds everything and runs every test.
set -eu
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8

if [ "$(id -u)" = 0 ]; then
    scripts/install-deps.sh
fi

# Fuzz targets: build with clang and libFuzzer, replay the corpora, fuzz briefly.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh build/fuzz "${QV_FUZZ_SECONDS:-20}"

cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
