#!/usr/bin/env bash
# Builds and runs the benchmarks. Each prints its figures as ratios against a peer measured in the
# same run. Native benchmarks use a release tree without sanitizers (build/bench); Windows
# benchmarks run under Wine in the test prefix, on a virtual display.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
[ -f build/bench/build.ninja ] || cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_SANITIZE=OFF >/dev/null
cmake --build build/bench --target benchmarks >/dev/null
bash scripts/build.sh win >/dev/null
cmake --build build/win --target benchmarks >/dev/null
for b in $(find build/bench/bench -type f -name 'bench_*' -perm -u+x | sort); do
  echo "== $b"; "$b"
done
for b in $(find build/win/bench -type f -name '*.exe' | sort); do
  [ -f "$b" ] || continue
  echo "== $b"
  xvfb-run -a scripts/wine-run.sh "$b"
done
