#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGS...]
# PREFIX is a private Wine prefix, created on first use (about 10 s).
set -euo pipefail
(($# >= 2)) || { echo "usage: wine-run.sh PREFIX PROGRAM [ARGS...]" >&2; exit 2; }

export WINEPREFIX="$1"
shift
export WINEDEBUG=-all
wine=$(command -v wine64 || true)
wine=${wine:-/usr/lib/wine/wine64}

# Start the wine server and Wine's helper processes detached from our pipes: if the program
# below started them, they would hold the caller's stdout open and a test runner reading it
# would wait for them. The lock keeps parallel runs from creating the prefix twice; --close
# keeps the long-lived wine server from inheriting (and so holding) it.
mkdir -p "$(dirname "$WINEPREFIX")"
flock --close "$WINEPREFIX.lock" "$wine" wineboot </dev/null >/dev/null 2>&1 || true
exec "$wine" "$@"
