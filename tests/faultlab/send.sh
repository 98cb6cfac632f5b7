#!/usr/bin/env bash
# The crash laboratory's reports through each transport, to servers on 127.0.0.1. Runs only where
# loopback is the one network interface with an address (a network namespace of its own).
# Usage: send.sh WINE_RUNNER FAULTLAB-CONSOLE.EXE MAIL-CLIENT.DLL WORKDIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/../loopback_only.sh"
require_loopback_only

# Our own prefix: the test registers a mail client and trusts a certificate in it, and its
# wineserver must be one started inside this namespace.
export TARN_PREFIX=${TARN_FAULTLAB_SEND_PREFIX:-${TARN_WINE_DIR:-$root/build/wine}/faultlab-send}
stop_wineserver
/usr/bin/python3 "$here/send.py" "$@"
rc=$?
stop_wineserver
exit $rc
