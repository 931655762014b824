#!/usr/bin/env bash
# Makes sure the build dependencies are present; on a Debian machine where one
# is missing and we are root (or have sudo), installs it with apt-get.
#   needs: cmake (>= 3.25), g++, make, zlib (zlib1g-dev), GoogleTest (libgtest-dev)
#   optional, for the sanitizer build and the fuzzer (--clang): clang, libclang-rt-14-dev
#   optional, for the Windows builds (--windows): the MinGW-w64 C++ compilers and
#     their zlib (g++-mingw-w64-i686, g++-mingw-w64-x86-64, libz-mingw-w64-dev)
#   optional, to run them (--wine): wine, wine64, and wine32 where the i386
#     architecture is available
set -euo pipefail
want=${1:-}
want_clang=""
[ "$want" = "--clang" ] && want_clang=--clang

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ "$want_clang" = "--clang" ]; then
  command -v clang++ >/dev/null 2>&1 || missing+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing+=(libclang-rt-14-dev)
fi

if [ "$want" = "--windows" ]; then
  missing=()
  command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-i686)
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-x86-64)
  [ -f /usr/i686-w64-mingw32/lib/libz.a ] && [ -f /usr/x86_64-w64-mingw32/lib/libz.a ] || missing+=(libz-mingw-w64-dev)
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v make >/dev/null 2>&1 || missing+=(make)
fi
wine32_wanted=""
if [ "$want" = "--wine" ]; then
  missing=()
  command -v wine >/dev/null 2>&1 || missing+=(wine)
  [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
  # 32-bit Wine needs the i386 architecture; where it cannot be had the
  # 32-bit executable is simply not run.
  if [ ! -x /usr/lib/wine/wine ] && [ "$(id -u)" = 0 ] && [ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ]; then
    wine32_wanted=yes
  fi
fi

[ ${#missing[@]} -eq 0 ] && [ -z "$wine32_wanted" ] && exit 0
[ ${#missing[@]} -gt 0 ] && echo "vorn: installing missing build dependencies: ${missing[*]}" >&2
if ! command -v apt-get >/dev/null 2>&1; then
  echo "vorn: please install: ${missing[*]}" >&2
  exit 1
fi
SUDO=""
if [ "$(id -u)" != 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "vorn: not root; please install: ${missing[*]}" >&2
    exit 1
  fi
fi
# Other installations may hold the package database for a while.
APT_OPTS=(-o DPkg::Lock::Timeout=600)
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get "${APT_OPTS[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${APT_OPTS[@]}" install -y -qq "${missing[@]}" >/dev/null
fi
if [ -n "$wine32_wanted" ]; then
  echo "vorn: installing 32-bit Wine (wine32:i386)" >&2
  if { dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386; } &&
     $SUDO apt-get "${APT_OPTS[@]}" update -qq &&
     DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${APT_OPTS[@]}" install -y -qq wine32 >/dev/null; then
    :
  else
    echo "vorn: 32-bit Wine could not be installed; only the 64-bit executable will run" >&2
  fi
fi
