#!/usr/bin/env bash
# Installs the Debian packages that building, testing and cross-building Tarnwick need.
# Quick when everything is there: apt is only touched for packages that are missing.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    libtinyxml2-dev libspdlog-dev libfmt-dev libsystemd-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev libfftw3-dev
    python3 python3-websockets python3-matplotlib python3-numpy
    clang clang-format dpkg-dev iproute2
    g++-mingw-w64-x86-64-posix wine wine64
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    if [ "$status" != "installed" ]; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
# sudo clears the environment, so the frontend setting goes through env.
apt=(env DEBIAN_FRONTEND=noninteractive apt-get)
if [ "$(id -u)" -ne 0 ]; then
    apt=(sudo "${apt[@]}")
fi
"${apt[@]}" update -q
"${apt[@]}" install -y -q "${missing[@]}"
