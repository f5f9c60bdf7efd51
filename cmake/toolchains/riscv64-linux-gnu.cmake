# SPDX-License-Identifier: MIT
# 64-bit RISC-V with Debian's g++-riscv64-linux-gnu; run under qemu-riscv64.
# The D extension has fused multiply-add (fmadd.d), which GCC uses by
# default: the project's -ffp-contract=off is what stops it.
#   cmake -S . -B build-riscv64-linux-gnu --toolchain cmake/toolchains/riscv64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(CROSS_TRIPLE riscv64-linux-gnu)
# Debian's name of the architecture, for the :ARCH of its library packages.
set(ZARVEK_DEBIAN_ARCH riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-riscv64 -L /usr/riscv64-linux-gnu)
