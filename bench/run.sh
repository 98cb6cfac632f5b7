#!/usr/bin/env bash
# Builds and runs the benchmarks. Each prints its figures as ratios against a peer measured in the
# same run. Native benchmarks use a release tree without sanitizers (build/bench); Windows
# benchmarks run under Wine in the test prefix, on a virtual display, once for each architecture
# this machine runs (32-bit in build/win, 64-bit in build/win64), one after the other so that
# their ratios can be read side by side.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
. scripts/machine.sh
[ -f build/bench/build.ninja ] || cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_SANITIZE=OFF >/dev/null
cmake --build build/bench --target benchmarks >/dev/null
for b in $(find build/bench/bench -type f -name 'bench_*' -perm -u+x | sort); do
  echo "== $b"; "$b"
done
echo "== flreader (build/bench)"; bash bench/flreader/run.sh
for arch in 32 64; do
  if [ "$arch" = 32 ]; then tree=win runs=$TARN_WIN32 why=$TARN_WIN32_WHY; else tree=win64 runs=$TARN_WIN64 why=$TARN_WIN64_WHY; fi
  if [ "$runs" != yes ]; then
    echo "== $arch-bit Windows benchmarks: not run ($why)"
    continue
  fi
  bash scripts/build.sh "$tree" >/dev/null
  cmake --build "build/$tree" --target benchmarks >/dev/null
  for b in $(find "build/$tree/bench" -type f -name '*.exe' | sort); do
    echo "== $arch-bit: $b"
    TARN_WINE_ARCH=$arch xvfb-run -a scripts/wine-run.sh "$b"
  done
done
