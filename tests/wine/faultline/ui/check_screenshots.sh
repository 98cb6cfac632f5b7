#!/usr/bin/env bash
# Takes the screenshots under Wine, then judges every file with Python's imaging library and
# pngcheck; the large screen capture must have needed several IDAT chunks.
# Usage: check_screenshots.sh WINE_RUNNER SHOTS.EXE CHECKER.PY WORKDIR
set -uo pipefail
runner=$1; exe=$2; checker=$3; work=$4
rm -rf "$work"; mkdir -p "$work"
TARN_SHOT_DIR=$work timeout 300 "$runner" "$exe" --gtest_color=no || exit 1
names=(window screen tiny-thin tiny-line tiny-empty)
/usr/bin/python3 "$checker" "$work" "${names[@]}" || exit 1
idats=$(/usr/bin/python3 -c 'import sys,struct
d=open(sys.argv[1],"rb").read();p=8;n=0
while p<len(d):
    l,=struct.unpack(">I",d[p:p+4]);n+=d[p+4:p+8]==b"IDAT";p+=12+l
print(n)' "$work/screen.png")
[ "$idats" -ge 3 ] || { echo "FAIL screen.png has $idats IDAT chunks, expected several"; exit 1; }
echo "screen.png: $idats IDAT chunks"
