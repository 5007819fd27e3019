#!/usr/bin/env bash
# Cross-builds static liblzma, libcurl (Schannel TLS) and libsodium for Windows from
# Debian's source packages. Usage: build-win-deps.sh <prefix> [i686|x86_64]
# i686 is the product; x86_64 serves the test programs run under wine64.
# Skips all work when <prefix> already holds a finished build.
set -euo pipefail

prefix=${1:?usage: build-win-deps.sh <prefix>}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
# Each part has its own stamp and recipe: bump a recipe when its configure
# flags change, so an old cache rebuilds that part (and only that part).
core_stamp="$prefix/.complete"       # liblzma and libcurl
core_recipe=3
sodium_stamp="$prefix/.sodium-complete"
sodium_recipe=1
fresh() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }
need_core=1
need_sodium=1
fresh "$core_stamp" "$core_recipe" && need_core=0
fresh "$sodium_stamp" "$sodium_recipe" && need_sodium=0
if [ $need_core = 0 ] && [ $need_sodium = 0 ]; then
  echo "build-win-deps.sh: cached in $prefix"
  exit 0
fi

arch=${2:-i686}
host=$arch-w64-mingw32
export CC=$host-gcc-posix
export AR=$host-ar
export RANLIB=$host-ranlib
export CFLAGS="-O2"
jobs=$(nproc)

work="$prefix/.src"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
sources=()
[ $need_core = 1 ] && sources+=(curl xz-utils)
[ $need_sodium = 1 ] && sources+=(libsodium)
# The unpacked sources carry Debian's patches.
apt-get source "${sources[@]}" >apt-source.log 2>&1 || {
  cat apt-source.log >&2
  echo "build-win-deps.sh: apt-get source failed (is deb-src enabled? run scripts/install-packages.sh)" >&2
  exit 1
}

build_core() {
  xz_dir=$(find . -maxdepth 1 -type d -name 'xz-utils-*' | head -n1)
  curl_dir=$(find . -maxdepth 1 -type d -name 'curl-*' | head -n1)

  echo "build-win-deps.sh: liblzma"
  (
    cd "$xz_dir"
    ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
      --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
      --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
      --enable-threads=vista >configure.log 2>&1 || { tail -40 configure.log >&2; exit 1; }
    make -j"$jobs" -C src/liblzma >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
    make -C src/liblzma install >install.log 2>&1
  )

  echo "build-win-deps.sh: libcurl"
  (
    cd "$curl_dir"
    ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
      --with-schannel --without-openssl --without-gnutls --without-zlib \
      --without-brotli --without-zstd --without-libpsl --without-libidn2 \
      --without-librtmp --without-libssh2 --without-nghttp2 --without-ngtcp2 \
      --without-nghttp3 --disable-ftp --disable-ldap --disable-ldaps --disable-rtsp \
      --disable-dict --disable-telnet --disable-tftp --disable-pop3 --disable-imap \
      --disable-smb --disable-smtp --disable-gopher --disable-mqtt --disable-file \
      --disable-manual --disable-docs --disable-ntlm --disable-kerberos-auth \
      --disable-negotiate-auth --disable-aws --disable-libcurl-option \
      --enable-http --enable-ipv6 --enable-threaded-resolver \
      >configure.log 2>&1 || { tail -40 configure.log >&2; exit 1; }
    make -j"$jobs" -C lib >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
    make -C lib install >install.log 2>&1
    make -C include install >>install.log 2>&1
  )
  echo "$core_recipe" >"$core_stamp"
}

build_sodium() {
  echo "build-win-deps.sh: libsodium"
  (
    cd "$(find . -maxdepth 1 -type d -name 'libsodium-*' | head -n1)"
    # Debian's source comes without a generated configure script.
    autoreconf -fi >autoreconf.log 2>&1 || { tail -40 autoreconf.log >&2; exit 1; }
    ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
      --disable-ssp --disable-pie --without-pthreads >configure.log 2>&1 ||
      { tail -40 configure.log >&2; exit 1; }
    make -j"$jobs" -C src/libsodium >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
    make -C src/libsodium install >install.log 2>&1
  )
  echo "$sodium_recipe" >"$sodium_stamp"
}

if [ $need_core = 1 ]; then build_core; fi
if [ $need_sodium = 1 ]; then build_sodium; fi

rm -rf "$work"
echo "build-win-deps.sh: done in $prefix"
