#!/usr/bin/env bash
# Installs the Debian packages that Tarnwick needs. "run" is what building and running the Linux
# bridge takes; "all" (the default) adds what testing, cross-building and the archives take.
# Quick when everything is there: apt is only touched for packages that are missing.
set -euo pipefail

set_name=${1:-all}

run_packages=(
    cmake g++ make pkg-config
    libtinyxml2-dev libspdlog-dev libfmt-dev libsystemd-dev
)
# The test libraries and peers (the SDR's stand-ins on Python's, Qt's and Node's WebSocket
# servers), the tools of the checks, and the Windows cross build with Wine to run it.
more_packages=(
    libgtest-dev libgmock-dev googletest libbenchmark-dev libfftw3-dev
    python3 python3-websockets python3-matplotlib python3-numpy
    python3-pyqt5.qtwebsockets node-ws
    clang clang-format dpkg-dev iproute2
    g++-mingw-w64-x86-64-posix wine wine64
)

case "$set_name" in
run) packages=("${run_packages[@]}") ;;
all) packages=("${run_packages[@]}" "${more_packages[@]}") ;;
*)
    echo "usage: $0 [run|all]" >&2
    exit 2
    ;;
esac

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
