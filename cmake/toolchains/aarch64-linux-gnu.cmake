# SPDX-License-Identifier: MIT
# 64-bit ARM with Debian's g++-aarch64-linux-gnu; run under qemu-aarch64.
# Fused multiply-add is in the base instruction set here, and GCC fuses by
# default: the project's -ffp-contract=off is what stops it.
#   cmake -S . -B build-aarch64-linux-gnu --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CROSS_TRIPLE aarch64-linux-gnu)
# Debian's name of the architecture, for the :ARCH of its library packages.
set(ZARVEK_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
