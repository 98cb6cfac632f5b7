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
. scripts/machine.sh
# The program is the 32-bit one; where the machine runs no 32-bit programs the same sources built
# for 64-bit Windows are shown instead.
if [ "$TARN_WIN32" = yes ]; then
  tree=build/win arch=32
elif [ "$TARN_WIN64" = yes ]; then
  tree=build/win64 arch=64
  echo "This machine cannot run the 32-bit wizard, because $TARN_WIN32_WHY: the 64-bit build of the" \
       "same sources is shown instead."
else
  echo "The wizard cannot run on this machine: 32-bit programs do not run ($TARN_WIN32_WHY), nor do" \
       "64-bit ones ($TARN_WIN64_WHY). The test command still builds everything and runs the native tests."
  exit 2
fi
# The build's output goes to a log; when it fails, its errors are shown.
mkdir -p build
if ! bash scripts/build.sh "${tree#build/}" >build/run-build.log 2>&1; then
  echo "The build failed; its last lines (all of them in build/run-build.log):"
  tail -n 40 build/run-build.log | sed 's/^/  /'
  exit 1
fi

export TARN_WINE_ARCH=$arch
if [ "$arch" = 64 ]; then export TARN_PREFIX=$root/build/wine64/demo; else export TARN_PREFIX=$root/build/wine/demo; fi
. scripts/wine-env.sh
tarn_prefix_ready
prog=$WINEPREFIX/drive_c/Tarn
mkdir -p "$prog" build/demo
cp "$tree/app/Tarn_Import.exe" "$prog/"
# The six default websites the import adds to the bookmarks are expected beside the program.
cp assets/websites/*.url "$prog/"
demo=$root/$tree/tools/demo/tarn_demo.exe
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

netns=()
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  wine "$demo" prepare 'C:\Tarn' | iconv -f GBK -t UTF-8
  echo "The wizard is open on your display; the results are printed when you close it."
  wine 'C:\Tarn\Tarn_Import.exe'
  wineserver -w
  show_results
  display=real
else
  # No display: a virtual one, and no network at all where a namespace can be made.
  display=virtual
  wineserver -k 2>/dev/null || true
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
fi

# Faultline at work: the crash laboratory's windowed program faults once in a button handler; the
# exception dialog shows, its details are opened, a picture of it is saved, its OK button closes
# it, and the report the program saved in its log is printed.
lab=$WINEPREFIX/drive_c/faultlab
rm -rf "$lab"; mkdir -p "$lab"
cp "$tree/tools/faultlab/faultlab.exe" "$tree/tools/flreader/flreader.exe" "$lab/"
fault_picture=$root/build/demo/fault-dialog.png
rm -f "$fault_picture"
# The picture's name as the program sees it (drive Z: is the Linux root).
export FAULTLAB_PICTURE="Z:${fault_picture//\//\\}"
if [ "$display" = real ]; then
  wine "$lab/faultlab.exe" dialog
  wineserver -w
else
  "${netns[@]}" bash -c '
    ip link set lo up 2>/dev/null || true
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c "wine \"\$0\" dialog; rc=\$?; wineserver -k 2>/dev/null; exit \$rc" "$1"
  ' _ "$lab/faultlab.exe"
fi
echo
echo "== the report faultlab.exe saved (flreader show faultlab.flf last):"
wine "$lab/flreader.exe" show "$lab/faultlab.flf" last | iconv -f GBK -t UTF-8 | tr -d '\r' | sed 's/^/   /'
wineserver -k 2>/dev/null || true
echo
echo "Picture of the exception dialog (details open): $fault_picture"
