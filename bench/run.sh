#!/usr/bin/env bash
# Builds and runs the benchmarks. Each prints its figures as ratios against a peer measured in the
# same run. Windows benchmarks run under Wine in the test prefix, on a virtual display.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
bash scripts/build.sh native win >/dev/null
for b in build/native/bench/*/*_bench build/native/bench/*/bench_*; do
  [ -x "$b" ] && { echo "== $b"; "$b"; }
done
for b in build/win/bench/*/*.exe; do
  [ -f "$b" ] || continue
  echo "== $b"
  xvfb-run -a scripts/wine-run.sh "$b"
done
