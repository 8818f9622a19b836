#!/usr/bin/env bash
# Installs what building, testing and running Kestrel needs on Debian 12, only
# when something is missing. Sourced by the other scripts; runnable on its own.
#   deps.sh            build and run
#   deps.sh --ci       also the tools CI uses (clang for fuzzing, packaging checks)
#                      and clang-tidy for scripts/tidy.sh
set -euo pipefail

kestrel_packages=(
    build-essential cmake ninja-build lld pkg-config libtirpc-dev rpcsvc-proto
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6sql6-sqlite libqt6sql6-psql
    libqcustomplot-dev libgl-dev
    libgsl-dev libtomlplusplus-dev
    zsh locales xvfb xauth
)
kestrel_ci_packages=(
    clang clang-tidy libclang-rt-14-dev dpkg-dev file lintian desktop-file-utils python3 man-db groff-base
    python3-pyvisa-py
    postgresql
)

kestrel_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

kestrel_install_deps() {
    local wanted=("${kestrel_packages[@]}")
    [ "${1:-}" = "--ci" ] && wanted+=("${kestrel_ci_packages[@]}")
    local missing=()
    for pkg in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing Debian packages: ${missing[*]}"
        kestrel_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
        kestrel_as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
    # The number tests check that a comma-decimal locale changes nothing.
    if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
        echo "Generating the de_DE.UTF-8 locale for the tests"
        kestrel_as_root localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
    fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    kestrel_install_deps "$@"
fi
