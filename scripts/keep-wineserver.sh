#!/usr/bin/env bash
# Starts a wineserver for WINEPREFIX that stays after its last program, so
# Wine's services are started once for many programs.
# Does nothing when one is already running for the prefix.
set -u
: "${WINEPREFIX:?WINEPREFIX must be set}"
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=wineserver
# It puts itself in the background once it listens; a second one finds the
# first and ends at once.
"$server" -p >/dev/null 2>&1 || true
