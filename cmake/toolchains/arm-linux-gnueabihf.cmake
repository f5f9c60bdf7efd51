# SPDX-License-Identifier: MIT
# 32-bit ARM, hard-float, with Debian's g++-arm-linux-gnueabihf; run under
# qemu-arm.
#   cmake -S . -B build-arm-linux-gnueabihf --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLE arm-linux-gnueabihf)
# Debian's name of the architecture, for the :ARCH of its library packages.
set(ZARVEK_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
