#!/bin/sh
# Installs the dependencies, builds everything and runs every test; then the
# engine, gateway and application-core suites again under AddressSanitizer
# with UndefinedBehaviorSanitizer, and the gateway's suites under
# ThreadSanitizer.
set -eu
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8

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
ctest --preset default

# Only the programs of these suites are built with the sanitizers: the
# windows and the plug-in are not worth the build time here.
cmake --preset asan >/dev/null
cmake --build --preset asan --target engine_tests engine_library_tests allocation_failure_tests \
    language_initialization_tests language_library_tests qv_pack_dictionary network_tests \
    callgate_tests callgate_core_tests application_tests integration_tests qvse qvcg
ctest --preset asan -R '^(engine|language|network|callgate|application|integration)\.'

cmake --preset tsan >/dev/null
cmake --build --preset tsan --target callgate_tests callgate_core_tests qvcg
ctest --preset tsan -R '^callgate\.'
