# Sourced by the test scripts that start servers of their own. They run only where loopback is the
# one network interface with an address (a network namespace of their own), so that nothing a
# case sends can leave the machine; no proxy setting applies; and a script that uses a Wine prefix
# of its own runs it under a wineserver started inside this namespace (Wine opens its sockets
# there).

# Fails the script unless loopback is the only interface with an address.
require_loopback_only() {
  local addresses
  addresses=$(ip -o addr show 2>&1)
  if [ -n "$(awk '$2 != "lo"' <<<"$addresses")" ] || [[ "$addresses" != *" inet 127.0.0.1/"* ]]; then
    echo "FAIL: run this test in a network namespace where only loopback is up (unshare --net)"
    sed 's/^/  /' <<<"$addresses"
    exit 1
  fi
  unset http_proxy https_proxy ftp_proxy no_proxy all_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY NO_PROXY ALL_PROXY
}

# Stops the wineserver of the prefix TARN_PREFIX names (before a script's first run, so that a new
# one starts inside the namespace, and after its last).
stop_wineserver() {
  bash -c '. "$1/scripts/wine-env.sh"; wineserver -k 2>/dev/null; true' _ "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
}
