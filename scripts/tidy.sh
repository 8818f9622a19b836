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
# A build of its own, each file compiled alone: the compile database then names every
# source file rather than the libraries' combined ones.
cmake --preset dev -B build/tidy -DKESTREL_UNITY=OFF
cmake --build build/tidy -j "$(nproc)"
run-clang-tidy -quiet -p build/tidy -j "$(nproc)" -header-filter="$ours" "${1:-$ours}"
