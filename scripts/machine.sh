# Sourced by the scripts: what this machine executes. Some kernels run no 32-bit programs (their
# virtual machine has no IA-32 emulation): there 32-bit Wine cannot start and only 64-bit Windows
# programs run. Asked of real binaries that Wine installs, every time (it takes milliseconds), so
# that no stale answer is ever read. Sets
#   TARN_WIN32, TARN_WIN64          yes or no
#   TARN_WIN32_WHY, TARN_WIN64_WHY  the reason, in words
# TARN_NO_WIN32=1 (or TARN_NO_WIN64=1) makes the answer "no", to try the scripts' other road on a
# machine that has both.
tarn_detect_machine() {
  local out
  TARN_WIN32=no TARN_WIN64=no
  if [ "${TARN_NO_WIN32:-0}" = 1 ]; then
    TARN_WIN32_WHY="TARN_NO_WIN32=1 is set"
  elif [ ! -x /usr/lib/wine/wineserver32 ]; then
    TARN_WIN32_WHY="32-bit Wine (package wine32:i386) is not installed"
  elif out=$(/usr/lib/wine/wineserver32 --version 2>&1); then
    TARN_WIN32=yes TARN_WIN32_WHY="32-bit programs run"
  else
    TARN_WIN32_WHY="this machine's kernel does not execute 32-bit programs (\"${out##*: }\")"
  fi
  if [ "${TARN_NO_WIN64:-0}" = 1 ]; then
    TARN_WIN64_WHY="TARN_NO_WIN64=1 is set"
  elif [ ! -x /usr/lib/wine/wine64 ]; then
    TARN_WIN64_WHY="64-bit Wine (package wine64) is not installed"
  elif out=$(/usr/lib/wine/wineserver64 --version 2>&1) && out=$(/usr/lib/wine/wine64 --version 2>&1); then
    TARN_WIN64=yes TARN_WIN64_WHY="64-bit programs run"
  else
    TARN_WIN64_WHY="64-bit Wine does not start (\"${out##*: }\")"
  fi
  export TARN_WIN32 TARN_WIN64 TARN_WIN32_WHY TARN_WIN64_WHY
}
tarn_detect_machine
