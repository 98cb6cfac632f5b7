#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a Debian 12 machine.
# Safe to run again: every step checks first and does nothing when its work is already done.
# Prints one line per step; the package manager's and the builds' own output goes to
# build/setup.log.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${TARN_DEPS:-$here/build/deps}
mkdir -p "$here/build"
log=$here/build/setup.log
: >"$log"

# The machine may not have the locale the caller asks for yet (we generate it below): run the
# set-up itself in the C locale so that no tool warns about it.
export LC_ALL=C LANG=C
unset LANGUAGE

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# step "what it does" command...: runs the command with its output in the log, prints one line
# with the time it took, and on failure the log's last lines.
step() {
  local what=$1; shift
  local start=$SECONDS
  printf 'setup: %s ... ' "$what"
  echo "== $what" >>"$log"
  if "$@" >>"$log" 2>&1; then
    echo "done ($((SECONDS - start)) s)"
  else
    echo "FAILED ($((SECONDS - start)) s); the last lines of $log:"
    tail -n 25 "$log" | sed 's/^/  /'
    exit 1
  fi
}

packages=(
  build-essential cmake ninja-build pkg-config git python3 python3-pil
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  libz-mingw-w64-dev zlib1g-dev libjpeg62-turbo-dev libdwarf-dev libelf-dev
  clang libclang-rt-14-dev googletest libgtest-dev
  wine wine32:i386 wine64 xvfb xauth xdotool x11-utils locales fonts-wqy-zenhei
  dpkg-dev nasm
  libxml2-utils tar gzip time iproute2 python3-dnslib pngcheck libpng-dev
  # Wine's secure channel (WinInet HTTPS) is GnuTLS, only a recommendation of Wine's library; the
  # FTP judge of the web delivery tests.
  libgnutls30:i386 python3-pyftpdlib
  # The SMTP judge of the mail delivery tests.
  python3-aiosmtpd
  # The web server that runs the CGI test programs of the web error page.
  lighttpd
  # The HTTP library of the report reader's receiving server, and the browser that renders its pages
  # in the tests.
  libcpp-httplib-dev chromium
  # Wine's winedump: an independent reader of the minidumps the tests make.
  wine64-tools
)

# A deb-src entry lets us build libjpeg-turbo for MinGW from Debian's own source package.
# Returns 0 when it added the entry (so the caller knows the lists need an update).
add_deb_src() {
  grep -rqsE '^(deb-src |Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/ && return 1
  as_root tee /etc/apt/sources.list.d/tarn-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  return 0
}

prepare_apt() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  add_deb_src || true
  as_root apt-get update
}

install_packages() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  step "reading the package lists (i386 architecture, source entries)" prepare_apt
  step "installing ${#missing[@]} packages (compilers, Wine, Xvfb, libraries)" install_packages "${missing[@]}"
fi

# Wine's ANSI code page follows the locale: zh_CN.UTF-8 gives code page 936, the program's own.
make_locale() {
  as_root sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen
  as_root locale-gen
}
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  step "generating the zh_CN.UTF-8 locale" make_locale
fi

# libjpeg-turbo for MinGW (both architectures), built once from Debian's source package and cached
# under the build tree.
build_jpeg() {  # ARCH PREFIX
  local arch=$1 prefix=$2 src=$cache/libjpeg-src-$1 processor=X86
  [ "$arch" = x86_64 ] && processor=AMD64
  rm -rf "$src"; mkdir -p "$src"
  if add_deb_src; then as_root apt-get update; fi
  (cd "$src" && apt-get source --download-only libjpeg-turbo && dpkg-source -x --skip-patches ./*.dsc tree)
  cmake -S "$src/tree" -B "$src/build" -G Ninja \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=$processor \
    -DCMAKE_C_COMPILER=$arch-w64-mingw32-gcc-posix -DCMAKE_RC_COMPILER=$arch-w64-mingw32-windres \
    -DCMAKE_BUILD_TYPE=Release -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
    -DWITH_SIMD=OFF -DCMAKE_INSTALL_PREFIX="$prefix"
  cmake --build "$src/build" --target install
  rm -rf "$src"
}
if [ ! -f "$cache/libjpeg-mingw/lib/libjpeg.a" ]; then
  step "building libjpeg-turbo for i686-w64-mingw32 from Debian's source package" build_jpeg i686 "$cache/libjpeg-mingw"
fi
if [ ! -f "$cache/libjpeg-mingw64/lib/libjpeg.a" ]; then
  step "building libjpeg-turbo for x86_64-w64-mingw32 from Debian's source package" build_jpeg x86_64 "$cache/libjpeg-mingw64"
fi

# What this machine executes (some run no 32-bit programs at all), said once.
. "$here/scripts/machine.sh"
echo "setup: Windows programs under Wine: 32-bit $TARN_WIN32 ($TARN_WIN32_WHY), 64-bit $TARN_WIN64 ($TARN_WIN64_WHY)"
echo "setup: ready (details in build/setup.log)"
