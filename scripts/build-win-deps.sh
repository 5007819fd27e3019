#!/usr/bin/env bash
# Cross-builds static liblzma, libcurl (Schannel TLS, HTTP/2 through nghttp2),
# libnghttp2 and libsodium for Windows from Debian's source packages. Usage: build-win-deps.sh <prefix> [i686|x86_64]
# i686 is the product; x86_64 serves the test programs run under wine64.
# Skips all work when <prefix> already holds a finished build.
set -euo pipefail

prefix=${1:?usage: build-win-deps.sh <prefix>}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
# Each part has its own stamp and recipe: bump a recipe when its configure
# flags change, so an old cache rebuilds that part (and only that part).
lzma_stamp="$prefix/.complete" # liblzma (and libcurl, before libcurl had a stamp of its own)
lzma_recipe=3
# 1: HTTP/2 (nghttp2), and NTLM and Negotiate through SSPI for proxies
curl_stamp="$prefix/.curl-complete"
curl_recipe=1
nghttp2_stamp="$prefix/.nghttp2-complete"
nghttp2_recipe=1
sodium_stamp="$prefix/.sodium-complete"
sodium_recipe=1
fresh() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }
need_lzma=1
need_curl=1
need_nghttp2=1
need_sodium=1
fresh "$lzma_stamp" "$lzma_recipe" && need_lzma=0
fresh "$curl_stamp" "$curl_recipe" && need_curl=0
fresh "$nghttp2_stamp" "$nghttp2_recipe" && need_nghttp2=0
fresh "$sodium_stamp" "$sodium_recipe" && need_sodium=0
# libcurl is compiled against nghttp2's headers: a new nghttp2 means a new libcurl.
[ $need_nghttp2 = 1 ] && need_curl=1
if [ $need_lzma = 0 ] && [ $need_curl = 0 ] && [ $need_nghttp2 = 0 ] && [ $need_sodium = 0 ]; then
  echo "build-win-deps.sh: cached in $prefix"
  exit 0
fi

arch=${2:-i686}
host=$arch-w64-mingw32
export CC=$host-gcc-posix
export CXX=$host-g++-posix # nghttp2's configure insists on one, though its library is C
export AR=$host-ar
export RANLIB=$host-ranlib
export CFLAGS="-O2"
jobs=$(nproc)

work="$prefix/.src"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
sources=()
[ $need_lzma = 1 ] && sources+=(xz-utils)
[ $need_nghttp2 = 1 ] && sources+=(nghttp2)
[ $need_curl = 1 ] && sources+=(curl)
[ $need_sodium = 1 ] && sources+=(libsodium)
# The unpacked sources carry Debian's patches.
apt-get source "${sources[@]}" >apt-source.log 2>&1 || {
  cat apt-source.log >&2
  echo "build-win-deps.sh: apt-get source failed (is deb-src enabled? run scripts/install-packages.sh)" >&2
  exit 1
}

build_lzma() {
  echo "build-win-deps.sh: liblzma"
  (
    cd "$(find . -maxdepth 1 -type d -name 'xz-utils-*' | head -n1)"
    ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
      --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
      --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
      --enable-threads=vista >configure.log 2>&1 || { tail -40 configure.log >&2; exit 1; }
    make -j"$jobs" -C src/liblzma >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
    make -C src/liblzma install >install.log 2>&1
  )
  echo "$lzma_recipe" >"$lzma_stamp"
}

# The HTTP/2 library alone (no tools, no examples), for libcurl.
build_nghttp2() {
  echo "build-win-deps.sh: libnghttp2"
  (
    cd "$(find . -maxdepth 1 -type d -name 'nghttp2-*' | head -n1)"
    # Debian's source comes without a generated configure script.
    autoreconf -fi >autoreconf.log 2>&1 || { tail -40 autoreconf.log >&2; exit 1; }
    # NGHTTP2_STATICLIB: no dllexport marks, so no program that links the
    # archive exports nghttp2's functions. With both clock_gettime
    # (winpthreads) and GetTickCount64 found, this version calls a fallback it
    # never defines: keep to GetTickCount64, Windows' own monotonic clock.
    ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
      --enable-lib-only CPPFLAGS=-DNGHTTP2_STATICLIB ac_cv_func_clock_gettime=no \
      >configure.log 2>&1 ||
      { tail -40 configure.log >&2; exit 1; }
    make -j"$jobs" -C lib >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
    make -C lib install >install.log 2>&1
  )
  echo "$nghttp2_recipe" >"$nghttp2_stamp"
}

# Negotiate and NTLM stay in for proxies that ask for the user's Windows
# logon (SSPI, which Schannel brings); Kerberos for mail protocols does not.
build_curl() {
  echo "build-win-deps.sh: libcurl"
  (
    cd "$(find . -maxdepth 1 -type d -name 'curl-*' | head -n1)"
    ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
      --with-schannel --without-openssl --without-gnutls --without-zlib \
      --without-brotli --without-zstd --without-libpsl --without-libidn2 \
      --without-librtmp --without-libssh2 --with-nghttp2="$prefix" --without-ngtcp2 \
      --without-nghttp3 --disable-ftp --disable-ldap --disable-ldaps --disable-rtsp \
      --disable-dict --disable-telnet --disable-tftp --disable-pop3 --disable-imap \
      --disable-smb --disable-smtp --disable-gopher --disable-mqtt --disable-file \
      --disable-manual --disable-docs --disable-kerberos-auth --disable-aws \
      --disable-libcurl-option --enable-http --enable-ipv6 --enable-threaded-resolver \
      CPPFLAGS=-DNGHTTP2_STATICLIB >configure.log 2>&1 || { tail -40 configure.log >&2; exit 1; }
    grep -q 'HTTP2:.*enabled' configure.log ||
      { grep -A40 'Configured to build curl' configure.log >&2; echo "build-win-deps.sh: libcurl without HTTP/2" >&2; exit 1; }
    make -j"$jobs" -C lib >make.log 2>&1 || { tail -40 make.log >&2; exit 1; }
    make -C lib install >install.log 2>&1
    make -C include install >>install.log 2>&1
  )
  echo "$curl_recipe" >"$curl_stamp"
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

if [ $need_lzma = 1 ]; then build_lzma; fi
if [ $need_nghttp2 = 1 ]; then build_nghttp2; fi
if [ $need_curl = 1 ]; then build_curl; fi
if [ $need_sodium = 1 ]; then build_sodium; fi

rm -rf "$work"
echo "build-win-deps.sh: done in $prefix"
