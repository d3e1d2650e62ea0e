#!/usr/bin/env bash
# Runs a windowed Windows test program under Wine on a virtual X display: run-on-xvfb.sh PREFIX
# PROGRAM [ARGS...]. PREFIX is a prefix of its own (a prefix's display driver is fixed while its
# server runs); its server is stopped afterwards, as the display it drew on goes away.
set -uo pipefail
(($# >= 2)) || { echo "usage: run-on-xvfb.sh PREFIX PROGRAM [ARGS...]" >&2; exit 2; }

prefix=$1
here=$(cd "$(dirname "$0")" && pwd)
wineserver=$(command -v wineserver || true)
wineserver=${wineserver:-/usr/lib/wine/wineserver}

xvfb-run -a -s "-screen 0 1280x1024x24" "$here/../../cmake/wine-run.sh" "$@" </dev/null
status=$?
WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
exit "$status"
