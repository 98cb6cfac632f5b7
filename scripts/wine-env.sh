# Sourced by the scripts that run Windows programs. Sets up a private Wine prefix that can never
# reach the real home folder, and the locale that makes Wine's ANSI code page 936.
#   TARN_WINE_ARCH  32 (default) or 64: which Windows the prefix is, and which Wine loader runs
#   TARN_WINE_DIR   where the prefixes live (default: build/wine for 32, build/wine64 for 64)
#   TARN_PREFIX     the prefix folder (default: TARN_WINE_DIR/test)
# Call tarn_prefix_ready after sourcing: it creates the prefix on first use.

_tarn_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export TARN_WINE_ARCH=${TARN_WINE_ARCH:-32}
if [ "$TARN_WINE_ARCH" = 64 ]; then
  export TARN_WINE_DIR=${TARN_WINE_DIR:-$_tarn_root/build/wine64}
  export WINEARCH=win64
  # "wine" is Debian's wrapper, which prefers the 32-bit loader whenever wine32 is installed (and
  # that one cannot start where the kernel runs no 32-bit programs): name the 64-bit loader.
  export WINELOADER=/usr/lib/wine/wine64
  if [ ! -x "$TARN_WINE_DIR/bin/wine" ]; then
    mkdir -p "$TARN_WINE_DIR/bin"
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$TARN_WINE_DIR/bin/wine"
    chmod +x "$TARN_WINE_DIR/bin/wine"
  fi
  case ":$PATH:" in *":$TARN_WINE_DIR/bin:"*) ;; *) export PATH=$TARN_WINE_DIR/bin:$PATH ;; esac
else
  export TARN_WINE_DIR=${TARN_WINE_DIR:-$_tarn_root/build/wine}
  export WINEARCH=win32
fi
export WINEPREFIX=${TARN_PREFIX:-$TARN_WINE_DIR/test}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko download offers, no menu entries or file associations written into a home.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine links the prefix's shell folders to $HOME: give it a home of its own inside the prefix.
export HOME=$WINEPREFIX/home
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
export XDG_DESKTOP_DIR=$HOME/Desktop XDG_DOCUMENTS_DIR=$HOME/Documents
export LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8

# Replaces every symbolic link under the prefix's user profiles by a real, empty folder, so that
# whatever a program does to its desktop stays inside the prefix.
_tarn_unlink_shell_folders() {
  local link
  while IFS= read -r -d '' link; do
    rm -f "$link" && mkdir -p "$link"
  done < <(find "$WINEPREFIX/drive_c/users" -maxdepth 3 -type l -print0 2>/dev/null)
}

# Bump when the settings below change, so that existing prefixes take them up.
_tarn_prefix_version=3

tarn_prefix_ready() {
  mkdir -p "$HOME" "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ "$(cat "$WINEPREFIX/.tarn-ready" 2>/dev/null)" != "$_tarn_prefix_version" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w
      _tarn_unlink_shell_folders
      # Wine draws its own title bars where no window manager runs (Xvfb).
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 || true
      # A program that crashes ends there: the debugger named here does not exist, so none starts
      # (Wine's own would print for a while, or wait, and a test run with it).
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
        /d 'C:\windows\system32\no-debugger.exe %ld %ld' /f >/dev/null 2>&1 || true
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
      # The program's font, 宋体 at 12 pixels, drawn from the CJK font's 12-pixel bitmaps: the
      # outlines lose strokes at that size.
      for font in 宋体 SimSun; do
        wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d 'WenQuanYi Zen Hei Sharp' /f >/dev/null 2>&1 || true
      done
      wineserver -w
      _tarn_unlink_shell_folders
      echo "$_tarn_prefix_version" > "$WINEPREFIX/.tarn-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}
