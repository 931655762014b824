# Cross-compilation for Windows with the MinGW-w64 compilers of Debian
# (g++-mingw-w64-i686, g++-mingw-w64-x86-64) and their static zlib
# (libz-mingw-w64-dev).
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVORN_WIN_ARCH=i686
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVORN_WIN_ARCH=x86_64
#
# The executables are linked statically (C++ runtime and zlib included), so
# vorn.exe runs on a bare Windows or under Wine with no DLL beside it.
set(VORN_WIN_ARCH "i686" CACHE STRING "Windows target: i686 (32-bit) or x86_64 (64-bit)")
set_property(CACHE VORN_WIN_ARCH PROPERTY STRINGS i686 x86_64)
if(NOT VORN_WIN_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "VORN_WIN_ARCH must be i686 or x86_64, not '${VORN_WIN_ARCH}'")
endif()
# try_compile projects see the choice too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORN_WIN_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VORN_WIN_ARCH})
set(triple ${VORN_WIN_ARCH}-w64-mingw32)

# The posix thread model: standard-library threads work with it.
find_program(CMAKE_CXX_COMPILER NAMES ${triple}-g++-posix ${triple}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${triple}-gcc-posix ${triple}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zlib as a static library only (libz.a, never the import library of a DLL).
set(ZLIB_USE_STATIC_LIBS ON)
set(ZLIB_ROOT /usr/${triple})
set(ZLIB_LIBRARY /usr/${triple}/lib/libz.a CACHE FILEPATH "static zlib for ${triple}")
set(ZLIB_INCLUDE_DIR /usr/${triple}/include CACHE PATH "zlib headers for ${triple}")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
