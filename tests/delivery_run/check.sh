#!/usr/bin/env bash
# The delivery run under Wine against the HTTP server check.py starts on 127.0.0.1. Runs only where
# loopback is the one network interface with an address (a network namespace of its own), so that
# nothing a case sends can leave the machine.
# Usage: check.sh WINE_RUNNER PROGRAM WORKDIR
set -uo pipefail
runner=$1; program=$2; work=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

. "$here/../loopback_only.sh"
require_loopback_only

# Our own prefix: the cases register a mail client and a "mailto" handler in it, and its
# wineserver must be one started inside this namespace.
export TARN_PREFIX=${TARN_DELIVERY_RUN_PREFIX:-${TARN_WINE_DIR:-$root/build/wine}/delivery-run}
stop_wineserver
/usr/bin/python3 "$here/check.py" "$runner" "$program" "$work"
rc=$?
stop_wineserver
exit $rc
