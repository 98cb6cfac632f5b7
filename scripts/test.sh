#!/usr/bin/env bash
# Runs every test: sets up the machine, builds the trees, runs the native unit tests, the Windows
# tests under Wine (on a virtual display, in a network namespace that has only loopback) and each
# fuzz target for a short while over its corpus. Tests that cannot run on this machine (32-bit
# programs where the kernel executes none) are counted as skipped and named, never as passed.
# Ends with one line "N passed, N failed, N skipped".
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh || { echo "setup failed"; echo "0 passed, 1 failed, 0 skipped"; exit 1; }
. scripts/machine.sh

passed=0
failed=0
skipped=0
notes=()    # one line each: what was skipped and why, or what failed outside a test
count_ctest() {  # reads a ctest log, adds its totals
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + t - f)); failed=$((failed + f))
}
# Cases that a test program skipped itself (GoogleTest's GTEST_SKIP, with the reason in its log;
# a test script's "SKIPPED [name]: reason" line): counted as skipped, named in the notes.
count_skipped_cases() {  # TREE
  local log=$1/Testing/Temporary/LastTest.log names n why
  [ -f "$log" ] || return 0
  names=$(grep -aoE '^\[  SKIPPED \] [A-Za-z_0-9/]+\.[A-Za-z_0-9/]+' "$log" | sed 's/^\[  SKIPPED \] //' | sort -u)
  if [ -n "$names" ]; then
    n=$(wc -l <<<"$names")
    skipped=$((skipped + n))
    # GoogleTest prints "FILE:LINE: Skipped" and the reason on the next line.
    why=$(grep -aA1 -E ': Skipped$' "$log" | grep -avE ': Skipped$|^--$' | sort -u | paste -sd';')
    notes+=("skipped: $n cases in $1 ($(paste -sd' ' <<<"$names"))${why:+: $why}")
  fi
  names=$(grep -aE '^SKIPPED \[[^]]+\]: ' "$log" | sort -u)
  if [ -n "$names" ]; then
    skipped=$((skipped + $(wc -l <<<"$names")))
    while IFS= read -r n; do notes+=("skipped in $1: ${n#SKIPPED }"); done <<<"$names"
  fi
}
# The tests of a tree that is not run here: counted, named, with the reason.
skip_tree() {  # TREE WHAT WHY
  local n
  n=$(cd "$1" 2>/dev/null && ctest -N 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
  n=${n:-0}
  skipped=$((skipped + n))
  notes+=("skipped: $2 ($n tests in $1): $3")
}
finish() {
  local line
  for line in "${notes[@]}"; do echo "$line"; done
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" = 0 ]
  exit
}

if [ "$TARN_WIN32" != yes ] && [ "$TARN_WIN64" != yes ]; then
  failed=$((failed + 1))
  notes+=("FAILED: no Windows program runs here (32-bit: $TARN_WIN32_WHY; 64-bit: $TARN_WIN64_WHY), so nothing of the Windows half would be checked")
fi

logs=build/test-logs
mkdir -p "$logs"

# Every tree is built, whatever this machine can run: a build error is a failure everywhere.
built=()
for tree in native win win64; do
  echo "== building $tree"
  if bash scripts/build.sh "$tree"; then
    built+=("$tree")
  else
    failed=$((failed + 1)); notes+=("FAILED: the $tree tree does not build (its errors are above)")
  fi
done
is_built() { [[ " ${built[*]} " == *" $1 "* ]]; }

if is_built native; then
  echo "== native unit tests"
  (cd build/native && ctest --output-on-failure -j 2) 2>&1 | tee "$logs/native.log"
  count_ctest "$logs/native.log"
  count_skipped_cases build/native
fi

# The Windows tests of one tree under its Wine, on a virtual display, in a network namespace that
# has only loopback; a fresh wineserver inside the namespace (the prefix's server must not be one
# started outside it).
run_windows_tests() {  # TREE ARCH
  local tree=$1 arch=$2
  echo "== Windows tests under $arch-bit Wine ($tree)"
  TARN_WINE_ARCH=$arch bash -c '. scripts/wine-env.sh; wineserver -k 2>/dev/null; true'
  unshare --net bash -c '
    ip link set lo up
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c "cd $1 && ctest --output-on-failure -j 2"
    TARN_WINE_ARCH=$2 bash -c ". scripts/wine-env.sh; wineserver -k 2>/dev/null; true"
  ' _ "$tree" "$arch" 2>&1 | tee "$logs/wine-$arch.log"
  count_ctest "$logs/wine-$arch.log"
  count_skipped_cases "$tree"
}

if ! is_built win; then
  :
elif [ "$TARN_WIN32" = yes ]; then
  run_windows_tests build/win 32
else
  skip_tree build/win "the 32-bit Windows tests under Wine" "$TARN_WIN32_WHY"
fi
if ! is_built win64; then
  :
elif [ "$TARN_WIN64" = yes ]; then
  run_windows_tests build/win64 64
else
  skip_tree build/win64 "the 64-bit Windows tests under Wine" "$TARN_WIN64_WHY"
fi

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

finish
