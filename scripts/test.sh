#!/bin/sh
# Installs the dependencies, builds everything and runs every test; then the
# engine, gateway and application-core suites again under AddressSanitizer
# with UndefinedBehaviorSanitizer, and the gateway's suites and the exit
# paths of the engine behind it under ThreadSanitizer.
set -eu
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8
# As many tests at once as the machine has cores.
jobs=$(nproc)

if [ "$(id -u)" = 0 ]; then
    scripts/install-deps.sh
fi

# Every C and C++ file is kept in its .clang-format's style
# (scripts/format.sh formats the tree).
scripts/format.sh --check

# Fuzz targets: build with clang and libFuzzer, replay the corpora, fuzz briefly.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz.sh build/fuzz "${QV_FUZZ_SECONDS:-20}"

cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default --parallel "$jobs"

# Only the programs of these suites are built with the sanitizers: the
# windows and the plug-in are not worth the build time here.
cmake --preset asan >/dev/null
cmake --build --preset asan --target engine_tests engine_library_tests allocation_failure_tests \
    language_initialization_tests language_library_tests qv_pack_dictionary network_tests \
    callgate_tests callgate_core_tests application_tests integration_tests qvse qvcg
ctest --preset asan --parallel "$jobs" -R '^(engine|language|network|callgate|application|integration)\.'

# The integration suite's exit paths (a host that quits with a context open,
# or returns from main while another thread binds) end with the engine's and
# the gateway's threads still running; its engine swaps race real network
# timers that ThreadSanitizer stretches past their retries, so they stay out.
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target callgate_tests callgate_core_tests qvcg qvse integration_tests
ctest --preset tsan --parallel "$jobs" -R '^(callgate\.|integration\.RealEngineDeathTest\.)'
