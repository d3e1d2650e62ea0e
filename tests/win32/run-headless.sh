#!/usr/bin/env bash
# Runs a windowed Windows test program under Wine without a display: run-headless.sh PREFIX
# PROGRAM [ARGS...]. PREFIX is a prefix of its own whose graphics driver is Wine's null driver,
# set once when the prefix is made (the driver is chosen when Wine's server starts).
set -euo pipefail
(($# >= 2)) || { echo "usage: run-headless.sh PREFIX PROGRAM [ARGS...]" >&2; exit 2; }

prefix=$1
here=$(cd "$(dirname "$0")" && pwd)
wine=$(command -v wine64 || true)
wine=${wine:-/usr/lib/wine/wine64}
wineserver=$(command -v wineserver || true)
wineserver=${wineserver:-/usr/lib/wine/wineserver}

mkdir -p "$(dirname "$prefix")"
if [[ ! -e "$prefix/.null-display" ]]; then
    (
        export WINEPREFIX="$prefix" WINEDEBUG=-all
        flock 9
        if [[ ! -e "$prefix/.null-display" ]]; then
            "$wine" wineboot </dev/null >/dev/null 2>&1 || true
            "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
                </dev/null >/dev/null 2>&1
            "$wineserver" -k 2>/dev/null || true
            "$wineserver" -w 2>/dev/null || true
            touch "$prefix/.null-display"
        fi
    ) 9>"$prefix.setup.lock"
fi
exec "$here/../../cmake/wine-run.sh" "$@"
