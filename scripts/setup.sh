#!/usr/bin/env bash
# setup.sh -- installs every Debian package the builds and tests need, then builds all three targets.
# Idempotent and non-interactive; run as root or with sudo available.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

PACKAGES=(
  # host build and tests
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
  zlib1g-dev libdeflate-dev python3 valgrind binutils libcli11-dev libfmt-dev libbz2-dev liblzma-dev
  # the stubs
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-i686-dev mingw-w64-x86-64-dev
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  # real-tool archives
  zip unzip p7zip-full libarchive-tools
  # signed packages
  osslsigncode openssl
  # real windows
  wine wine64 xvfb xdotool imagemagick
  # the shipping PE32 under 32-bit Wine, emulated
  wine32:i386 qemu-user
  # reading the stub's resources back
  python3-pefile
)
# wine32 is an i386 package: a fresh machine has not added that architecture yet.
dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

JOBS=${JOBS:-$(nproc)}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$JOBS"
for arch in i686 x86_64; do
  cmake -S . -B "build-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" >/dev/null
  cmake --build "build-$arch" -j "$JOBS"
done
echo "setup: built"
ls -l dist/
