#!/usr/bin/env bash
# A folder as a desktop may hold it: files, a hidden one, both spellings of desktop.ini, the names
# the listing reserves, and sub-folders (one named like a file).
set -euo pipefail
d=$1
rm -rf "$d"; mkdir -p "$d/sub" "$d/folder.txt" "$d/被Tarn管理的快捷方式"
for f in a.txt hidden.txt noext desktop.ini Desktop.ini 双击还原桌面快捷方式.bat; do echo x > "$d/$f"; done
