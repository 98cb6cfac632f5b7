#!/usr/bin/env bash
# Web delivery under Wine against servers that check.py starts on 127.0.0.1. Runs only where
# loopback is the one network interface with an address (a network namespace of its own), so that
# no upload can leave the machine whatever address a case names.
# Usage: check.sh WINE_RUNNER PROGRAM WORKDIR
set -uo pipefail
runner=$1; program=$2; work=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

. "$here/../loopback_only.sh"
require_loopback_only

# Our own prefix: its wineserver (which opens the sockets) must be one started inside this
# namespace, and stopping it must not disturb other tests' prefixes.
export TARN_PREFIX=${TARN_WEB_PREFIX:-${TARN_WINE_DIR:-$root/build/wine}/delivery-web}
stop_wineserver
/usr/bin/python3 "$here/check.py" "$runner" "$program" "$work"
rc=$?
stop_wineserver
exit $rc
