#!/usr/bin/env bash
# The reader's XML against its output before it streamed, its usage errors, and the group and
# html commands on a generated log and on a report archive made by GNU tar, judged by Python's
# XML, JSON and HTML parsers (judge.py).
# Usage: check_commands.sh SOURCE_DIR WORKDIR READER [ARGS...]   (READER as for check.sh)
set -euo pipefail
src=$1; work=$2; shift 2
rm -rf "$work"; mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

# The XML of the fixture and of a generated log of 300 reports (dates, versions, GBK and hostile
# messages, one report with LF line ends), byte for byte what the reader wrote before it streamed.
python3 "$src/make_log.py" "$src/two.flf" "$work/gen.flf" 300
"$@" xml "$src/two.flf" > "$work/two.xml"
cmp "$work/two.xml" "$src/two.xml" || fail "xml of two.flf differs from the golden file"
"$@" xml "$work/gen.flf" -o "$work/gen.xml"
sum=$(sha256sum < "$work/gen.xml" | cut -d' ' -f1)
[ "$sum" = c76c9b2a666373cf673fa0323c5f133ea4ffb2ca1eeb518992fa78da7febd705 ] || fail "xml of the generated log: $sum"
xmllint --noout "$work/gen.xml" || fail "xml: not well-formed"

# Usage errors: the usage on standard error, nothing on standard output, exit 2.
while IFS='|' read -r args; do
  set +e
  # shellcheck disable=SC2086
  "$@" $args >"$work/out" 2>"$work/err"
  rc=$?
  set -e
  [ "$rc" = 2 ] || fail "'$args': exit $rc"
  grep -q 'usage: flreader' "$work/err" || fail "'$args': no usage on standard error"
  [ ! -s "$work/out" ] || fail "'$args': wrote to standard output"
done <<LIST

bogus $src/two.flf
$src/two.flf
list
show $src/two.flf
xml $src/two.flf -z
group
group $src/two.flf --xml
html $src/two.flf
LIST
# Files and reports that are not there keep exit 1.
for args in "group $work/missing.flf" "xml $work/missing.flf" "show $src/two.flf 9"; do
  set +e; "$@" $args >/dev/null 2>&1; rc=$?; set -e
  [ "$rc" = 1 ] || fail "'$args': exit $rc"
done

# A report archive as delivery packs it: the log copy and the screenshot in a gzip-compressed tar.
mkdir -p "$work/packed"
cp "$work/gen.flf" "$work/packed/prog_20261206114102.flf"
python3 - "$work/packed/Screenshot.png" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
raw = b"\0" + bytes((40, 60, 90))  # one row: filter byte, one RGB pixel
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
PY
tar -czf "$work/report.tgz" -C "$work/packed" prog_20261206114102.flf Screenshot.png

"$@" group "$work/gen.flf" --json > "$work/groups.json"
python3 "$src/judge.py" group "$work/gen.xml" "$work/groups.json"
"$@" group "$work/report.tgz" "$work/gen.flf" --json > "$work/groups2.json"
python3 "$src/judge.py" group "$work/gen.xml" "$work/groups2.json" 2
# The table: a header, then the groups with the largest count first.
"$@" group "$work/gen.flf" | tr -d '\r' > "$work/groups.txt"
head -n 1 "$work/groups.txt" | grep -q '^Count' || fail "group table header"
counts=$(grep -E '^ *[0-9]+  ' "$work/groups.txt" | awk '{print $1}')
[ "$counts" = "$(sort -rn <<<"$counts")" ] || fail "group table order: $counts"
[ "$(awk '{s += $1} END {print s}' <<<"$counts")" = 300 ] || fail "group table total: $counts"

"$@" html "$work/report.tgz" -o "$work/html" 2>/dev/null
python3 "$src/judge.py" html "$work/gen.xml" "$work/html" "$work/packed/Screenshot.png"
echo "flreader commands: all checks passed"
