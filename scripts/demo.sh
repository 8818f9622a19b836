#!/usr/bin/env bash
# Builds Kestrel and shows it working.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/deps.sh
kestrel_install_deps

cmake --preset dev
cmake --build --preset dev
echo "Built. The measurement window comes in a later step."
