#!/usr/bin/env bash
# Runs a Windows executable under Wine, quietly and without a display.
# Usage: wine-run.sh PREFIX-DIR PROGRAM.exe [ARGS...]
#        wine-run.sh PREFIX-DIR --boot       start the prefix's Wine session for a test run
#        wine-run.sh PREFIX-DIR --shutdown   end it
# The prefix is made once (wineboot) and shared by later runs; a lock keeps two first runs
# from building it at the same time.
#
# --boot starts a persistent wineserver and waits until Wine's own services (its event log,
# plug and play, the driver hosts) run, so that every later program finds them settled. While
# they start, each of them waits for its process on a fresh service pipe, and a console start of
# tarnwick.exe that looks for its own service pipe then may take one of theirs for it.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX-DIR PROGRAM.exe [ARGS...] | --boot | --shutdown" >&2
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

if [ "$1" = "--shutdown" ]; then
    wineserver -k 2>/dev/null || true
    exit 0
fi

if [ "$1" = "--boot" ]; then
    # A server left from an earlier run may not be persistent; start afresh.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
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

if [ "$1" != "--boot" ]; then
    exec "$wine" "$@"
fi

quiet() { "$wine" "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# The server stays up when the last program ends, and Wine's services with it. It must not hold
# on to this script's output, or whoever reads that (ctest) would wait for it to end.
wineserver -p </dev/null >/dev/null 2>&1
started=$SECONDS
services=$(quiet reg query 'HKLM\System\CurrentControlSet\Services' /s /v Start |
    awk '/^HKEY/ { name = $0; sub(/.*\\/, "", name) } $1 == "Start" && $3 == "0x2" { print name }' ||
    true)
if [ -z "$services" ]; then
    echo "wine-run.sh: no automatic services found in the prefix $prefix" >&2
    exit 1
fi
# Settled: every automatic service runs, and no service process was started (the number of the
# last service pipe stayed the same) between two looks.
previous=""
while :; do
    look=$(quiet reg query 'HKLM\System\CurrentControlSet\Control\ServiceCurrent' |
        awk '$3 ~ /^0x/ { print $3 }' || true)
    pending=""
    for service in $services; do
        quiet sc query "$service" | grep -q 'STATE *: *4 ' || pending="$pending $service"
    done
    look="$look$pending"
    if [ -z "$pending" ] && [ "$look" = "$previous" ]; then
        echo "wine-run.sh: Wine session up, services settled after $((SECONDS - started)) s:" \
            $services
        exit 0
    fi
    if [ $((SECONDS - started)) -ge 180 ]; then
        echo "wine-run.sh: Wine's services did not settle within 180 s (not running:$pending)" >&2
        exit 1
    fi
    previous=$look
    sleep 1
done
