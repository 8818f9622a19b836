#!/usr/bin/env bash
# Builds and runs the test suite.
#   scripts/test.sh [PRESET]     PRESET: dev (default), asan, tsan or release
# dev, asan and release build everything and run every test; tsan builds only the
# threaded tests and runs them (label "threads").
# KESTREL_WERROR=ON (as CI sets it) makes every compiler warning an error; the
# default leaves a developer's build going while they work.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"

source scripts/deps.sh
kestrel_install_deps --ci

# Given every time, so a build tree CI once configured goes back to the default.
cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR="${KESTREL_WERROR:-OFF}"
cmake --build --preset "$preset"
[ "$preset" = dev ] && scripts/install-sendarbcmd.sh
ctest --preset "$preset"
