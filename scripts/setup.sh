#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need. Idempotent: on a
# machine that has them all it only asks dpkg and returns within seconds.
set -euo pipefail

# Every package the project needs; "name:i386" for the 32-bit build's libraries.
PACKAGES=(
  cmake
  ninja-build
  g++
  g++-multilib
  qemu-user
  libgtest-dev
  libgmock-dev
  googletest
  libgtest-dev:i386
  libgmock-dev:i386
  libbenchmark-dev
  libsndfile1-dev
  libfftw3-dev
  gnuplot-nox
  libstk-dev
  libcli11-dev
  clang-format
  fonts-dejavu-core
  pkgconf
  clang-14
  libclang-rt-14-dev
  valgrind
  g++-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64
  wine64
)

NATIVE_ARCH=$(dpkg --print-architecture)

# True when the package is installed for the named architecture (the native one when no
# ":arch" is given), or as an architecture-independent package.
is_installed() {
  local wanted=$1 name=${1%%:*} arch=$NATIVE_ARCH
  [[ $wanted == *:* ]] && arch=${wanted#*:}
  dpkg-query -W -f='${db:Status-Abbrev}${Architecture}\n' "$name" 2>/dev/null |
    grep -qE "^ii ($arch|all)\$"
}

missing=()
need_i386=no
for package in "${PACKAGES[@]}"; do
  if ! is_installed "$package"; then
    missing+=("$package")
    [[ $package == *:i386 ]] && need_i386=yes
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=()
((EUID != 0)) && SUDO=(sudo)
APT=("${SUDO[@]}" apt-get -o DPkg::Lock::Timeout=600)

if [[ $need_i386 == yes ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  "${SUDO[@]}" dpkg --add-architecture i386
fi

echo "setup: installing ${missing[*]}"
"${APT[@]}" update -qq
DEBIAN_FRONTEND=noninteractive "${APT[@]}" install -y -qq --no-install-recommends "${missing[@]}"
