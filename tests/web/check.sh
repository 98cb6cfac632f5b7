#!/usr/bin/env bash
# The web error page under Wine: check.py starts lighttpd on 127.0.0.1 with the CGI program as a
# handler run through Wine, and runs the WinCGI program, the extension's host and the framework
# points program directly. Runs only where loopback is the one network interface with an address
# (a network namespace of its own).
# Usage: check.sh WORKDIR WEB-CGI.EXE WEB-WINCGI.EXE WEB-EXT.DLL WEB-HOST.EXE WEB-POINTS.EXE
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

. "$here/../loopback_only.sh"
require_loopback_only

# Our own prefix, whose wineserver is started inside this namespace; stopping it disturbs no
# other test.
export TARN_PREFIX=${TARN_WEB_PAGE_PREFIX:-${TARN_WINE_DIR:-$root/build/wine}/web-page}
stop_wineserver
/usr/bin/python3 "$here/check.py" "$root" "$@"
rc=$?
stop_wineserver
exit $rc
