#!/usr/bin/env bash
# Makes sure the build dependencies are present; on a Debian machine where one
# is missing and we are root (or have sudo), installs it with apt-get.
#   needs: cmake (>= 3.25), g++, make, zlib (zlib1g-dev), GoogleTest (libgtest-dev)
#   optional, for the sanitizer build and the fuzzer: clang, libclang-rt-14-dev
set -euo pipefail
want_clang=${1:-}

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

[ ${#missing[@]} -eq 0 ] && exit 0
echo "vorn: installing missing build dependencies: ${missing[*]}" >&2
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
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
