#!/usr/bin/env bash
# The crash laboratory's reports through each transport, to servers on 127.0.0.1. Runs only where
# loopback is the one network interface with an address (a network namespace of its own).
# Usage: send.sh WINE_RUNNER FAULTLAB-CONSOLE.EXE WORKDIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
addresses=$(ip -o addr show 2>&1)
if [ -n "$(awk '$2 != "lo"' <<<"$addresses")" ] || [[ "$addresses" != *" inet 127.0.0.1/"* ]]; then
  echo "FAIL: run this test in a network namespace where only loopback is up (unshare --net)"
  exit 1
fi
unset http_proxy https_proxy ftp_proxy no_proxy all_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY NO_PROXY ALL_PROXY
exec /usr/bin/python3 "$here/send.py" "$@"
