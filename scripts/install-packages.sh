#!/usr/bin/env bash
# Installs every Debian package the builds, tests, demo and benchmarks need.
# Safe to run again: apt-get skips what is already there. Must run as root.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "install-packages.sh: run as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive

packages=(
  # native build and tests
  build-essential cmake ninja-build pkg-config git
  nlohmann-json3-dev libcurl4-openssl-dev liblzma-dev libsodium-dev
  googletest libgtest-dev libcpp-httplib-dev
  clang libclang-rt-14-dev clang-format
  # Windows cross build and its dependencies' sources
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev
  binutils-mingw-w64-i686 dpkg-dev autoconf automake libtool
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  # running the Windows binaries
  wine wine32:i386 wine64 xvfb xauth x11-utils x11-apps xdotool imagemagick fonts-wine
  # the emulated x86-64 guest that runs the PE32 build where the kernel refuses
  # 32-bit code (build-pe32-guest.sh)
  qemu-system-x86 mmdebstrap
  # end-to-end hosts and reference tools
  nginx-light xz-utils openssl curl coreutils python3 time procps psmisc
  # reference delta tools and the chart of bench/delta_bench.py
  zstd xdelta3 python3-matplotlib
  # a forward proxy with authentication (tests/netem/auth_proxy.sh)
  tinyproxy
)

stamp=/var/lib/tessaly-packages.stamp
want=$(printf '%s\n' "${packages[@]}" | sha1sum | cut -c1-40)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  echo "install-packages.sh: packages already installed"
  exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

# apt-get source needs a deb-src entry for bookworm main.
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  cat >/etc/apt/sources.list.d/tessaly-src.sources <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi

# A mirror in the middle of a sync serves index files that do not match its
# release file for a while: try again after a pause, and go on with the lists
# from before if it persists (the install below fails plainly if they lack a
# package).
for pause in 20 60 0; do
  apt-get update -o Acquire::Retries=3 && break
  [ "$pause" -gt 0 ] || { echo "install-packages.sh: apt-get update failed; using the package lists from before" >&2; break; }
  echo "install-packages.sh: apt-get update failed; again in $pause s" >&2
  sleep "$pause"
done
apt-get install -y -o Acquire::Retries=3 --no-install-recommends "${packages[@]}"

# nginx is started by the tests on their own ports, never as a system service.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now nginx >/dev/null 2>&1 || true; fi
pkill -x nginx >/dev/null 2>&1 || true
# So is tinyproxy. Its own service is stopped through its pid file, which
# leaves any instance a test started alone.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now tinyproxy >/dev/null 2>&1 || true; fi
if [ -x /etc/init.d/tinyproxy ]; then
  update-rc.d tinyproxy disable >/dev/null 2>&1 || true
  /etc/init.d/tinyproxy stop >/dev/null 2>&1 || true
fi

echo "$want" >"$stamp"
echo "install-packages.sh: done"
