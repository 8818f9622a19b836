#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS]   (default 30 per target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

source scripts/deps.sh
kestrel_install_deps --ci

cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_COMPILE_WARNING_AS_ERROR="${KESTREL_WERROR:-OFF}"
cmake --build build/fuzz -j 2
for target in replynumber formatdouble; do
    # Findings grow a scratch copy; the seeds in the repository stay as they are.
    work="build/fuzz/corpus-$target"
    mkdir -p "$work"
    cp -n fuzz/corpus/$target/* "$work/"
    echo "Fuzzing $target for $seconds s"
    "build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=5 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/$target-" "$work" 2>&1 | tail -n 12
done
