#!/usr/bin/env bash
# Configures and builds the native tree (portable code, unit tests, sanitizers) and the Windows
# trees (Tarn_Import.exe and the Wine tests, 32-bit in build/win, 64-bit in build/win64).
# Usage: scripts/build.sh [native|win|win64|fuzz]...
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native win)
jobs=${TARN_JOBS:-$(nproc)}
for t in "${targets[@]}"; do
  case "$t" in
    native)
      [ -f build/native/build.ninja ] || cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
      cmake --build build/native -j "$jobs" ;;
    win)
      [ -f build/win/build.ninja ] || cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
      cmake --build build/win -j "$jobs" ;;
    win64)
      [ -f build/win64/build.ninja ] || cmake -S . -B build/win64 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
      cmake --build build/win64 -j "$jobs" ;;
    fuzz)
      [ -f build/fuzz/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_FUZZ=ON >/dev/null
      # Only the fuzz targets: the tree's tests and tools are built (with sanitizers) natively.
      cmake --build build/fuzz -j "$jobs" --target fuzz_targets ;;
    *) echo "build.sh: unknown tree $t" >&2; exit 2 ;;
  esac
done
