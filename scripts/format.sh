#!/bin/sh
# Formats every C and C++ file of the tree with the .clang-format nearest to
# it (Debian 12's clang-format, version 14). With --check it changes nothing
# and fails, naming the files, when one is off its format.
set -eu
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format}
if ! "$clang_format" --version | grep -q 'version 14\.'; then
    echo "format.sh: needs clang-format 14 (found: $("$clang_format" --version))" >&2
    exit 2
fi
files=$(git ls-files -- '*.c' '*.cpp' '*.h' '*.hpp')
if [ "${1:-}" = --check ]; then
    # shellcheck disable=SC2086
    "$clang_format" --dry-run -Werror $files
else
    # shellcheck disable=SC2086
    "$clang_format" -i $files
fi
