#!/usr/bin/env bash
# Runs every test: sets up the machine, builds both trees, runs the native unit tests, the Windows
# tests under Wine (on a virtual display, in a network namespace that has only loopback) and each
# fuzz target for a short while over its corpus. Ends with one line "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh || { echo "setup failed"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
count_ctest() {  # reads a ctest log, adds its totals
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + t - f)); failed=$((failed + f))
}

if ! bash scripts/build.sh native win; then
  echo "build failed"; echo "0 passed, 1 failed"; exit 1
fi

logs=build/test-logs
mkdir -p "$logs"

echo "== native unit tests"
(cd build/native && ctest --output-on-failure -j 2) 2>&1 | tee "$logs/native.log"
count_ctest "$logs/native.log"

echo "== Windows tests under Wine"
# A fresh wineserver inside the namespace: the prefix's server must not be one started outside it.
TARN_PREFIX=$root/build/wine/test bash -c '. scripts/wine-env.sh; wineserver -k 2>/dev/null; true'
unshare --net bash -c '
  ip link set lo up
  xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c "cd build/win && ctest --output-on-failure -j 2"
  TARN_PREFIX='"$root"'/build/wine/test bash -c ". scripts/wine-env.sh; wineserver -k 2>/dev/null; true"
' 2>&1 | tee "$logs/wine.log"
count_ctest "$logs/wine.log"

echo "== fuzz targets"
if [ -n "$(find fuzz -name "*.cpp" -print -quit)" ]; then
  if bash scripts/build.sh fuzz >"$logs/fuzz-build.log" 2>&1; then
    # One target per core at a time; each leaves its verdict in a file.
    fuzz_one() {
      local bin=$1 name=${1##*/fuzz_} corpus work
      corpus=$(find fuzz -type d -path "*/corpus/$name" | head -n 1)
      work=$(mktemp -d)
      [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null
      if "$bin" -max_total_time="${TARN_FUZZ_SECONDS:-10}" -rss_limit_mb=2048 "$work" >"$logs/fuzz-$name.log" 2>&1; then
        echo pass > "$logs/fuzz-$name.verdict"
      else
        echo fail > "$logs/fuzz-$name.verdict"
      fi
      rm -rf "$work"
    }
    rm -f "$logs"/fuzz-*.verdict
    running=0
    for bin in build/fuzz/fuzz/fuzz_*; do
      [ -x "$bin" ] || continue
      fuzz_one "$bin" &
      running=$((running + 1))
      if [ "$running" -ge "$(nproc)" ]; then wait -n; running=$((running - 1)); fi
    done
    wait
    for bin in build/fuzz/fuzz/fuzz_*; do
      [ -x "$bin" ] || continue
      name=${bin##*/fuzz_}
      if [ "$(cat "$logs/fuzz-$name.verdict" 2>/dev/null)" = pass ]; then
        echo "fuzz $name: no finding"; passed=$((passed + 1))
      else
        echo "fuzz $name: FINDING"; tail -n 30 "$logs/fuzz-$name.log"; failed=$((failed + 1))
      fi
    done
  else
    echo "fuzz build failed"; tail -n 30 "$logs/fuzz-build.log"; failed=$((failed + 1))
  fi
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
