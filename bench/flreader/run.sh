#!/usr/bin/env bash
# flreader on a large log: the XML export (time and peak resident memory) against the reader that
# held the whole document (built from commit FLREADER_BASE), grouping the same log, and the pages
# of 1,000 reports. The log (~40,000 reports, ~150 MB) is generated once under build/.
# Prints absolutes and ratios; checks that both readers write the same XML.
#   FLREADER_BENCH_TREE  the plain release tree that builds flreader (default build/bench)
#   FLREADER_BASE        the commit of the reader to compare with
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
tree=${FLREADER_BENCH_TREE:-build/bench}
base=${FLREADER_BASE:-5334ce0d}
data=build/flreader-bench
old=$data/old-$base
mkdir -p "$data"

[ -f "$tree/build.ninja" ] || cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_SANITIZE=OFF >/dev/null
cmake --build "$tree" -j 2 --target flreader >/dev/null
new=$tree/tools/flreader/flreader
# The earlier reader from the repository's history, unpacked and built on its own (no checkout).
if [ ! -x "$old/build/tools/flreader/flreader" ]; then
  rm -rf "$old"; mkdir -p "$old/src"
  git archive "$base" | tar -x -C "$old/src"
  cmake -S "$old/src" -B "$old/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_SANITIZE=OFF >/dev/null
  cmake --build "$old/build" -j 2 --target flreader >/dev/null
fi
oldReader=$old/build/tools/flreader/flreader

big=$data/big.flf small=$data/small.flf
[ -s "$big" ] || python3 tests/flreader/make_log.py tests/flreader/two.flf "$big" 40000
[ -s "$small" ] || python3 tests/flreader/make_log.py tests/flreader/two.flf "$small" 1000
mb=$(( $(stat -c %s "$big") / 1000000 ))

# Runs a command with its standard output hashed; sets secs, kb (peak resident) and hash.
measure() {
  hash=$( { /usr/bin/time -f '%e %M' -o "$data/time" "$@" | sha256sum | cut -c1-16; } )
  read -r secs kb < "$data/time"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }'; }

measure "$oldReader" xml "$big"; oldSecs=$secs oldKb=$kb oldHash=$hash
measure "$new" xml "$big"; newSecs=$secs newKb=$kb newHash=$hash
[ "$oldHash" = "$newHash" ] || { echo "flreader xml: the output differs from the earlier reader's" >&2; exit 1; }
echo "xml of $mb MB (40,000 reports): before $oldSecs s, $((oldKb / 1024)) MB peak; after $newSecs s, $((newKb / 1024)) MB peak"
echo "  time after/before $(ratio "$newSecs" "$oldSecs"), memory after/before $(ratio "$newKb" "$oldKb") (goal: under 64 MB)"
measure "$new" group "$big"; groupSecs=$secs groupKb=$kb
echo "group of the same log: $groupSecs s, $((groupKb / 1024)) MB peak; against its xml: $(ratio "$groupSecs" "$newSecs") (goal: under 2 s)"
rm -rf "$data/html"
measure "$new" html "$small" -o "$data/html"
echo "html of 1,000 reports: $secs s, $((kb / 1024)) MB peak, $(ls "$data/html" | wc -l) files"
