#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's private prefix (see wine-env.sh).
# CTest uses it as the emulator of the cross build.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
tarn_prefix_ready
exec wine "$@"
