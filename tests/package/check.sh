#!/usr/bin/env bash
# Installs the Windows tree into a fresh prefix, builds the example program against that prefix
# alone (its own CMake project, the MinGW toolchain file, nothing of this source tree), runs it
# under Wine and reads the report it saved with the log reader: the uncaught exception's type and
# message, the first call-stack row at the throw in main.cpp, the value the program set.
# Usage: check.sh WINE_RUNNER TREE EXAMPLE_DIR TOOLCHAIN_FILE FLREADER.EXE WORKDIR
set -uo pipefail
runner=$1; tree=$2; example=$3; toolchain=$4; reader=$5; work=$6
rm -rf "$work"; mkdir -p "$work"
prefix=$work/prefix; build=$work/build
fail() { echo "FAIL: $*"; exit 1; }
strip() { tr -d '\r'; }

cmake --install "$tree" --prefix "$prefix" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install"; }
cmake -S "$example" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$prefix" > "$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configuring the example against the package"; }
cmake --build "$build" > "$work/build.log" 2>&1 || { cat "$work/build.log"; fail "building the example"; }

# The uncaught exception ends the program with exit code 1, after its report is saved.
timeout 120 "$runner" "$build/hello.exe" > "$work/hello.out" 2>&1
rc=$?
[ "$rc" = 1 ] || { cat "$work/hello.out"; fail "exit code $rc, expected 1"; }
log=$build/hello.flf
[ -s "$log" ] || fail "no log beside the program"
failures=0
check() { [ "$2" = "$3" ] || { echo "FAIL: $1 '$2', expected '$3'"; failures=$((failures + 1)); }; }
check type "$("$runner" "$reader" field "$log" last 2.4 | strip)" "std::runtime_error"
check message "$("$runner" "$reader" field "$log" last 2.5 | strip)" "cannot read settings.ini."
"$runner" "$reader" show "$log" last | strip > "$work/report.txt"
if [ "${TARN_WINE_ARCH:-32}" = 64 ]; then digits=16; else digits=8; fi
# The program's own DWARF, put into it by the installed fldata, names the throw's file and line.
line=$(grep -n 'throw std::runtime_error' "$example/main.cpp" | cut -d: -f1)
first=$(grep -m1 -E "^\|[0-9A-F]{$digits}\|" "$work/report.txt")
grep -qE "^\|[0-9A-F]{$digits}\|hello\.exe *\|main\.cpp *\|[^|]*\|[^|]*\|$line *\|$" <<<"$first" ||
  { echo "FAIL: first call-stack row '$first', expected main.cpp line $line"; failures=$((failures + 1)); }
grep -q "hello-42" "$work/report.txt" || { echo "FAIL: the value set with SetValue is not in the report"; failures=$((failures + 1)); }
[ "$failures" = 0 ] || { cat "$work/report.txt"; exit 1; }
echo "the example built against the installed package reported its exception at main.cpp:$line"
