#!/usr/bin/env bash
# The crash laboratory's reports through each transport, to servers on 127.0.0.1. Runs only where
# loopback is the one network interface with an address (a network namespace of its own).
# Usage: send.sh WINE_RUNNER FAULTLAB-CONSOLE.EXE WORKDIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../loopback_only.sh"
require_loopback_only
exec /usr/bin/python3 "$here/send.py" "$@"
