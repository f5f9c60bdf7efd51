# SPDX-License-Identifier: MIT
# 32-bit x86 with Debian's g++-i686-linux-gnu; run under qemu-i386.
# The binaries name the cross root's loader and libraries, so an x86-64
# kernel also runs them directly, and valgrind can profile them.
#   cmake -S . -B build-i686-linux-gnu --toolchain cmake/toolchains/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CROSS_TRIPLE i686-linux-gnu)
# Debian's name of the architecture, for the :ARCH of its library packages.
set(ZARVEK_DEBIAN_ARCH i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# Loader and libraries from the cross root, found without qemu -L.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-Wl,--dynamic-linker=/usr/i686-linux-gnu/lib/ld-linux.so.2 -Wl,-rpath,/usr/i686-linux-gnu/lib")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
