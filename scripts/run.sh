#!/bin/sh
# Builds the product and its stand-ins (no tests), installs them into install/
# in the checkout and runs the whole system until interrupted (see
# scripts/start-system.sh for what runs and where it keeps its files).
#
#   sh scripts/run.sh [--headless] [--maildir DIR] [--run-folder DIR]
#
# As root it first installs the Debian packages that are missing, with the
# same script as the tests.
set -eu
cd "$(dirname "$0")/.."
export LANG="${LANG:-C.UTF-8}"

if [ "$(id -u)" = 0 ]; then
    scripts/install-deps.sh
fi

cmake --preset release >/dev/null
cmake --build --preset release
cmake --install build/release --prefix install >/dev/null
exec sh scripts/start-system.sh --prefix install "$@"
