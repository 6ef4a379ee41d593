#!/usr/bin/env bash
# Runs a Windows executable under Wine, quietly and without a display.
# Usage: wine-run.sh PREFIX-DIR PROGRAM.exe [ARGS...]
# The prefix is made once (wineboot) and shared by later runs; a lock keeps two first runs
# from building it at the same time.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX-DIR PROGRAM.exe [ARGS...]" >&2
    exit 2
fi
prefix=$1
shift

mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX=$prefix
# Quiet unless a test asks for one of Wine's traces.
export WINEDEBUG=${TARNWICK_WINEDEBUG:--all}
# No Mono or Gecko installer dialogs, no windows.
export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

wine=wine
if [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
    export WINELOADER=$wine
fi

if [ ! -f "$prefix/system.reg" ]; then
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        "$wine" wineboot --init >/dev/null 2>&1 </dev/null || true
        wineserver -w 2>/dev/null || true
        if [ ! -f "$prefix/system.reg" ]; then
            echo "wine-run.sh: could not create the Wine prefix $prefix" >&2
            exit 1
        fi
    fi
    flock -u 9
    exec 9>&-
fi

exec "$wine" "$@"
