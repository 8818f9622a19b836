#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the sources of the dev build.
#   scripts/tidy.sh [REGEX]   only the files whose path matches REGEX
#                             (default: everything in src/, tools/, bench/ and tests/)
# Not a CI step: on two cores it takes longer than the rest of CI together.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
ours="^$root/(src|tools|bench|tests)/"

source scripts/deps.sh
kestrel_install_deps --ci

# The compile database, and the moc and uic output the sources include.
cmake --preset dev
cmake --build --preset dev
run-clang-tidy -quiet -p build/dev -j "$(nproc)" -header-filter="$ours" "${1:-$ours}"
