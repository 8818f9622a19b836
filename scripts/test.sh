#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh [PRESET]     PRESET: dev (default), asan or release
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"

source scripts/deps.sh
kestrel_install_deps --ci

cmake --preset "$preset"
cmake --build --preset "$preset"
[ "$preset" = dev ] && scripts/install-sendarbcmd.sh
ctest --preset "$preset"
