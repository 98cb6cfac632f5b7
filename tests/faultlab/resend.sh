#!/usr/bin/env bash
# Kept copies of failed deliveries sent again at the next start, to servers on 127.0.0.1. Runs
# only where loopback is the one network interface with an address (a network namespace of its own).
# Usage: resend.sh WINE_RUNNER FAULTLAB-CONSOLE.EXE WORKDIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/../loopback_only.sh"
require_loopback_only

# Our own prefix, whose wineserver must be one started inside this namespace.
export TARN_PREFIX=${TARN_FAULTLAB_RESEND_PREFIX:-${TARN_WINE_DIR:-$root/build/wine}/faultlab-resend}
stop_wineserver
/usr/bin/python3 "$here/resend.py" "$@"
rc=$?
stop_wineserver
exit $rc
