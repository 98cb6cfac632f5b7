#!/usr/bin/env bash
# The crash laboratory's HTTP delivery to the native flreader serve on 127.0.0.1. Runs only where
# loopback is the one network interface with an address (a network namespace of its own).
# Usage: serve_http.sh WINE_RUNNER FAULTLAB-CONSOLE.EXE FLREADER WORKDIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/../loopback_only.sh"
require_loopback_only

# Our own prefix, whose wineserver is one started inside this namespace.
[ "${TARN_WINE_ARCH:-32}" = 64 ] && wine_dir=$root/build/wine64 || wine_dir=$root/build/wine
export TARN_PREFIX=${TARN_FAULTLAB_SERVE_PREFIX:-${TARN_WINE_DIR:-$wine_dir}/faultlab-serve}
stop_wineserver
/usr/bin/python3 "$here/serve_http.py" "$@"
rc=$?
stop_wineserver
exit $rc
