#!/usr/bin/env bash
# SMTP delivery under Wine against servers this test starts on 127.0.0.1: refuses to run where the
# machine has any network interface besides loopback, makes a private mount namespace in which
# /etc/resolv.conf names only 127.0.0.1 (Windows programs read their DNS servers from it), starts
# the prefix's wineserver inside both namespaces and hands over to check.py.
# Usage: check.sh SMTP_DRIVER.EXE WORKDIR
# SMTP_TEST_PREFIX chooses the Wine prefix (default: a folder beside WORKDIR).
set -euo pipefail
driver=$1; work=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../../../.." && pwd)

# Nothing of this test may leave the machine: only loopback may carry an address.
# (Whole outputs are read first: a pipe into "grep -q" could fail the pipeline and pass the guard.)
addresses=$(ip -o addr show) || { echo "FAIL: cannot list the network addresses"; exit 1; }
others=$(awk '$2 != "lo"' <<<"$addresses")
if [ -n "$others" ]; then
  echo "FAIL: an interface other than loopback has an address;"
  echo "      run this inside a network namespace that has only loopback (unshare --net)"
  echo "$others"
  exit 1
fi
ip link set lo up 2>/dev/null || true
if ! grep -q 'inet 127\.0\.0\.1/' <<<"$(ip -o addr show lo)"; then echo "FAIL: loopback has no 127.0.0.1"; exit 1; fi

# The resolver configuration is replaced in a mount namespace of this test's own, never in the
# one it was started from.
mount_ns=$(readlink /proc/self/ns/mnt)
if [ "${TARN_SMTP_OUTER_MOUNT_NS:-}" = "" ] || [ "$TARN_SMTP_OUTER_MOUNT_NS" = "$mount_ns" ]; then
  exec env TARN_SMTP_OUTER_MOUNT_NS="$mount_ns" unshare --mount --propagation private bash "${BASH_SOURCE[0]}" "$@"
fi

rm -rf "$work"; mkdir -p "$work"
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' > "$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf
if [ "$(cat /etc/resolv.conf)" != "$(cat "$work/resolv.conf")" ]; then
  echo "FAIL: /etc/resolv.conf could not be replaced inside the mount namespace"; exit 1
fi

export TARN_PREFIX=${SMTP_TEST_PREFIX:-$(dirname "$work")/wine-prefix}
. "$root/scripts/wine-env.sh"
# A wineserver started elsewhere would open our sockets in another network namespace.
wineserver -k 2>/dev/null || true
tarn_prefix_ready
cleanup() { wineserver -k 2>/dev/null || true; }
trap cleanup EXIT

/usr/bin/python3 "$here/check.py" --driver "$driver" --work "$work" --runner "$root/scripts/wine-run.sh"
