#!/usr/bin/env bash
# Runs a test command where loopback is the only network interface with an address: here when
# this already is such a place, else in a new network namespace (which needs root, as the test
# machines have). The command never runs anywhere else.
# Usage: in_loopback.sh COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../loopback_only.sh"
if [ -z "${TARN_IN_LOOPBACK_NS:-}" ] && ! (require_loopback_only >/dev/null); then
  exec env TARN_IN_LOOPBACK_NS=1 unshare --net bash -c 'ip link set lo up && exec bash "$0" "$@"' "${BASH_SOURCE[0]}" "$@"
fi
require_loopback_only
exec "$@"
