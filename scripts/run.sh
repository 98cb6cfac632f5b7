#!/usr/bin/env bash
# The main job: builds the wizard and runs it in a private demo Wine prefix whose desktops hold a
# prepared demo desktop (documents, programs, shortcuts, bookmark-bar links). With a display the
# wizard opens there for you to use; without one it runs on a virtual display, a whole import is
# driven through its window, and a picture of the window is saved. Either way the files the
# import wrote are printed afterwards.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh win >/dev/null

export TARN_PREFIX=$root/build/wine/demo
. scripts/wine-env.sh
tarn_prefix_ready
prog=$WINEPREFIX/drive_c/Tarn
mkdir -p "$prog" build/demo
cp build/win/app/Tarn_Import.exe "$prog/"
# The six default websites the import adds to the bookmarks are expected beside the program.
cp assets/websites/*.url "$prog/"
demo=$root/build/win/tools/demo/tarn_demo.exe
picture=$root/build/demo/wizard.png

gbk() { iconv -f GBK -t UTF-8 "$1" 2>/dev/null || cat "$1"; }
show_results() {
  echo
  for d in "$WINEPREFIX"/drive_c/users/Public/Desktop "$WINEPREFIX"/drive_c/users/"$(id -un)"/Desktop; do
    echo "== desktop $d:"; ls -A "$d" | sed 's/^/   /'
  done
  echo "== managed folder:"; ls -A "$prog"/被Tarn管理的快捷方式 2>/dev/null | sed 's/^/   /' || true
  for f in 双击还原桌面快捷方式.bat Tab.ini Group1.ini Group2.ini Group3.ini Tarn.ini; do
    [ -f "$prog/$f" ] || continue
    echo "== $f:"; gbk "$prog/$f" | tr -d '\r' | sed 's/^/   /'
  done
}

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  wine "$demo" prepare 'C:\Tarn' | iconv -f GBK -t UTF-8
  echo "The wizard is open on your display; the results are printed when you close it."
  wine 'C:\Tarn\Tarn_Import.exe'
  wineserver -w
  show_results
  exit 0
fi

# No display: a virtual one, and no network at all where a namespace can be made.
wineserver -k 2>/dev/null || true
netns=()
if [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then netns=(unshare --net); fi
"${netns[@]}" bash -c '
  ip link set lo up 2>/dev/null || true
  xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c "
    wine \"$1\" prepare \"C:\\Tarn\" && wine \"$1\" drive \"C:\\Tarn\" \"C:\\Tarn\\wizard.bmp\"; rc=\$?
    wineserver -k 2>/dev/null; exit \$rc"
' _ "$demo" | iconv -f GBK -t UTF-8
/usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2])' "$prog/wizard.bmp" "$picture"
rm -f "$prog/wizard.bmp"
show_results
echo
echo "Picture of the wizard after the import: $picture"
